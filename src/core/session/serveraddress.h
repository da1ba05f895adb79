#pragma once
// The server setting as the user writes it: "host", "host:port",
// "nntp://host[:port]" or "nntps://host[:port]" (implicit TLS). An IPv6
// address goes between brackets: "[::1]:119".
#include <QString>

namespace brivane {

class ServerAddress {
public:
    static constexpr quint16 plain_port = 119;
    static constexpr quint16 tls_port = 563;

    // False (with `error` set) for an empty host or a port that is not 1..65535.
    static bool parse(const QString &setting, ServerAddress *out, QString *error);

    QString host;
    quint16 port = plain_port;
    bool tls = false;
};

} // namespace brivane

#include "session/serveraddress.h"

namespace brivane {

bool ServerAddress::parse(const QString &setting, ServerAddress *out, QString *error)
{
    auto bad = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("Invalid news server \"%1\": %2").arg(setting, why);
        return false;
    };

    QString rest = setting.trimmed();
    ServerAddress a;
    if (rest.startsWith(QLatin1String("nntps://"), Qt::CaseInsensitive)) {
        a.tls = true;
        a.port = tls_port;
        rest = rest.mid(8);
    } else if (rest.startsWith(QLatin1String("nntp://"), Qt::CaseInsensitive)) {
        rest = rest.mid(7);
    } else if (rest.contains(QLatin1String("://"))) {
        return bad(QStringLiteral("only nntp:// and nntps:// are understood"));
    }
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);

    QString port_text;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return bad(QStringLiteral("missing \"]\""));
        a.host = rest.mid(1, close - 1);
        const QString tail = rest.mid(close + 1);
        if (!tail.isEmpty()) {
            if (!tail.startsWith(QLatin1Char(':')))
                return bad(QStringLiteral("unexpected text after \"]\""));
            port_text = tail.mid(1);
        }
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0 && rest.indexOf(QLatin1Char(':')) == colon) {
            a.host = rest.left(colon);
            port_text = rest.mid(colon + 1);
        } else {
            a.host = rest;  // no colon, or a bare IPv6 address
        }
    }
    if (a.host.isEmpty())
        return bad(QStringLiteral("no host name"));
    for (QChar c : a.host) {
        if (c.isSpace() || c == QLatin1Char('/'))
            return bad(QStringLiteral("the host name contains \"%1\"").arg(c));
    }
    if (!port_text.isNull()) {
        bool ok = false;
        const uint p = port_text.toUInt(&ok);
        if (!ok || p == 0 || p > 65535)
            return bad(QStringLiteral("the port must be a number from 1 to 65535"));
        a.port = quint16(p);
    }
    *out = a;
    return true;
}

} // namespace brivane

#pragma once
#include <QDialog>

namespace brivane {

// Name, version and facts about the machine; also the splash at start.
class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget *parent = nullptr);
    static QString facts();
};

} // namespace brivane

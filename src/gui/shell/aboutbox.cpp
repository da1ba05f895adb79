#include "shell/aboutbox.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QSysInfo>
#include <QThread>
#include <QVBoxLayout>

#include <unistd.h>

namespace brivane {

QString AboutBox::facts()
{
    QString cpu = QSysInfo::currentCpuArchitecture();
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : info.readAll().split('\n'))
            if (line.startsWith("model name")) {
                cpu = QString::fromUtf8(line.mid(line.indexOf(':') + 1)).trimmed();
                break;
            }
    }
    const qint64 mib = qint64(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / (1024 * 1024);
    return QStringLiteral("Platform: %1\nProcessor: %2 (%3 cores)\nMemory: %4 MB")
        .arg(QSysInfo::prettyProductName(), cpu)
        .arg(QThread::idealThreadCount())
        .arg(mib);
}

AboutBox::AboutBox(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About Brivane"));
    auto *layout = new QVBoxLayout(this);
    auto *title = new QLabel(QStringLiteral("<h2>Brivane</h2>Version V99.0808"), this);
    layout->addWidget(title);
    layout->addWidget(new QLabel(facts(), this));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

} // namespace brivane

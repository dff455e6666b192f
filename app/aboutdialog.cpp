#include "app/aboutdialog.h"

#include "app/version.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QUrl>
#include <QVBoxLayout>

namespace {

struct AboutLink {
    const char* label;
    const char* target;
};

struct AboutComponent {
    const char* name;
    const char* license;
    const char* licenseFile;
};

constexpr AboutLink LINKS[] = {
    {"Homepage", "https://www.tremwick.example/pellan-i2c"},
    {"Support", "support@tremwick.example"},
    {"Forum", "https://forum.tremwick.example"},
};

// The licence file names are the installed ones; packaging/ installs them
// under exactly these names.
constexpr AboutComponent COMPONENTS[] = {
    {"Qt 6", "LGPL-3.0", "LICENSE-qt.txt"},
    {"hidapi", "Own license (permissive)", "LICENSE-hidapi.txt"},
    {"Google Material Icons", "Apache-2.0", "LICENSE-google-material-icons.txt"},
};

const char APP_DISPLAY_NAME[] = "Orvane Pellan I2C";
const char APP_YEAR[] = "2026";

QLabel* createLinkLabel(const QString& html, QWidget* parent)
{
    auto* label = new QLabel(html, parent);
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    // Links go through our slots, which report failures.
    label->setOpenExternalLinks(false);
    return label;
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent)
{
    const QString displayName = QLatin1String(APP_DISPLAY_NAME);
    setWindowTitle(tr("About %1").arg(displayName));

    auto* layout = new QVBoxLayout(this);

    auto* header =
        new QLabel(tr("<b>%1</b><br>Version %2<br>© %3 Tremwick Instruments")
                       .arg(displayName, QLatin1String(PELLAN_VERSION), QLatin1String(APP_YEAR)),
                   this);
    header->setTextFormat(Qt::RichText);
    layout->addWidget(header);

    for (const AboutLink& link : LINKS) {
        const QString target = QLatin1String(link.target);
        const QString address =
            target.contains(QLatin1String("://")) ? target : QLatin1String("mailto:") + target;
        QLabel* label = createLinkLabel(QStringLiteral("%1: <a href=\"%2\">%3</a>")
                                            .arg(QLatin1String(link.label), address, target),
                                        this);
        connect(label, &QLabel::linkActivated, this, &AboutDialog::openExternalLink);
        layout->addWidget(label);
    }

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);

    layout->addWidget(new QLabel(tr("Third-party components:"), this));

    for (const AboutComponent& component : COMPONENTS) {
        QLabel* label = createLinkLabel(QStringLiteral("<a href=\"%1\">%2 (%3)</a>")
                                            .arg(QLatin1String(component.licenseFile),
                                                 QLatin1String(component.name),
                                                 QLatin1String(component.license)),
                                        this);
        connect(label, &QLabel::linkActivated, this, &AboutDialog::openLicenseFile);
        layout->addWidget(label);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

void AboutDialog::openLicenseFile(const QString& name)
{
    const QString appDir = QCoreApplication::applicationDirPath();
    // The build tree and a portable copy keep the licences beside the
    // program; an installation keeps them in its documentation tree.
    const QString candidates[] = {
        appDir + QLatin1String("/licenses/"),
        appDir + QLatin1String("/../share/doc/pellan-i2c/"),
    };

    QString found;
    for (const QString& folder : candidates) {
        if (QFileInfo::exists(folder + name)) {
            found = folder + name;
            break;
        }
    }
    if (found.isEmpty()) {
        showWarning(tr("License file not found.\n\n%1")
                        .arg(QDir::toNativeSeparators(candidates[0] + name)));
        return;
    }

    // Resolve the "..", so the viewer gets (and shows) a plain path.
    QString local = QFileInfo(found).canonicalFilePath();
    if (local.isEmpty())
        local = found;
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(local)))
        showWarning(
            tr("Could not open the license file.\n\n%1").arg(QDir::toNativeSeparators(found)));
}

void AboutDialog::openExternalLink(const QString& link)
{
    if (!QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode)))
        showWarning(tr("Could not open the link.\n\n%1").arg(link));
}

void AboutDialog::showWarning(const QString& text)
{
    // Plain text: a link or path must never be read as markup.
    QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

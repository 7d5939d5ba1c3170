#include "ui/about_dialog.h"

#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSvgRenderer>

#include "ui/dialog_units.h"

// The icon's resources sit in a static library, whose resources register only when asked to.
static void InitUiResources() {
    Q_INIT_RESOURCE(vantor);
}

namespace vantor::ui {

namespace {

constexpr int kIconSizePx = 32;

}  // namespace

QIcon LoadAppIcon() {
    InitUiResources();
    QSvgRenderer renderer(QStringLiteral(":/vantor/app_icon.svg"));
    QIcon icon;
    for (const int size_px : {16, 24, 32, 48, 64}) {
        QPixmap pixmap(size_px, size_px);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About WinVantor"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    const DialogUnits units(font());
    setFixedSize(units.X(224), units.Y(55));

    // A static icon shows the icon at its own size from the control's top-left corner.
    auto* icon = new QLabel(this);
    icon->setPixmap(LoadAppIcon().pixmap(kIconSizePx, kIconSizePx));
    icon->setGeometry(units.X(7), units.Y(7), kIconSizePx, kIconSizePx);

    auto* text = new QLabel(QStringLiteral("WinVantor Version " VANTOR_VERSION_TEXT), this);
    text->setTextFormat(Qt::PlainText);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setGeometry(units.Rect(40, 10, 119, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OkButton"));
    ok->setDefault(true);
    ok->setGeometry(units.Rect(167, 7, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace vantor::ui

#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

namespace vantor::ui {

QFont DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters_px = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    average_width_px_ = (letters_px / 26 + 1) / 2;
    height_px_ = metrics.height();
}

QRect DialogUnits::Rect(int x_du, int y_du, int width_du, int height_du) const {
    return {X(x_du), Y(y_du), X(width_du), Y(height_du)};
}

}  // namespace vantor::ui

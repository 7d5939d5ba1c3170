// Dialog units: the windows are laid out at their templates' positions, converted with the
// dialog font's base units as the templates were drawn for them.
#pragma once

#include <QFont>
#include <QRect>

namespace vantor::ui {

// The stand-in for the templates' "MS Sans Serif" at 8 points: a sans font of that size.
QFont DialogFont();

class DialogUnits {
  public:
    // Base units: the average width of "A".."Z" "a".."z" (rounded as the window system does)
    // and the font's height.
    explicit DialogUnits(const QFont& font);

    int X(int x_du) const { return MulDiv(x_du, average_width_px_, 4); }
    int Y(int y_du) const { return MulDiv(y_du, height_px_, 8); }
    QRect Rect(int x_du, int y_du, int width_du, int height_du) const;

    int AverageWidthPx() const { return average_width_px_; }
    int HeightPx() const { return height_px_; }

  private:
    // value * numerator / denominator, rounded to the nearest pixel.
    static int MulDiv(int value, int numerator, int denominator) {
        return (value * numerator + denominator / 2) / denominator;
    }

    int average_width_px_ = 0;
    int height_px_ = 0;
};

}  // namespace vantor::ui

// A list in which every line carries its own text and background colour, chosen from a fixed
// palette of 16, with tabs expanded at fixed stops.
#pragma once

#include <QColor>
#include <QListWidget>
#include <QStyledItemDelegate>
#include <array>

namespace vantor::ui {

inline constexpr int kPaletteSize = 16;
inline constexpr int kBlack = 0;
inline constexpr int kWhite = 1;
inline constexpr int kRed = 10;

// The 16 colours; an index outside the palette gives black (text) or white (background).
QColor PaletteColor(int index, int fallback_index);

class ColorListBox : public QListWidget {
    Q_OBJECT
  public:
    // The tab stops: 100 of them, every 8 widths of the letter c.
    static constexpr int kTabStopCount = 100;
    static constexpr int kTabWidthChars = 8;
    // As many lines as the window system's list box holds; further lines are refused.
    static constexpr int kDefaultCapacity = 32767;

    explicit ColorListBox(QWidget* parent = nullptr);

    // Appends one line. A text colour of 16 or more (negative values included) is black; a
    // background outside the palette is white. When the list refuses the line for lack of
    // room, the oldest lines make way for it (20 of them, or all but one of a shorter list).
    void AddLine(unsigned text_color, int background_color, const char* text);

    // The stored line: the text colour index plus 1, the background index plus 1, the text.
    QByteArray StoredLine(int row) const;
    void SetCapacity(int lines) { capacity_ = lines; }

    // The widest line drawn so far (text plus a vertical scroll bar) and the horizontal extent
    // set from it: that width plus one thirty-second of it.
    int WidestLinePx() const { return widest_line_px_; }
    int HorizontalExtentPx() const { return horizontal_extent_px_; }

    QColor HighlightColor() const { return highlight_; }
    QColor HighlightTextColor() const { return highlight_text_; }

    // Called by the painting delegate with each line's plain text width.
    void NoteLineWidth(int text_width_px);

  protected:
    // An empty list that has the focus shows the focus rectangle where its first line would be.
    void paintEvent(QPaintEvent* event) override;

  private:
    bool Append(const QByteArray& stored_line);

    QColor highlight_;
    QColor highlight_text_;
    int widest_line_px_ = 0;
    int horizontal_extent_px_ = 0;
    int capacity_ = kDefaultCapacity;
};

// Paints each line of a ColorListBox: its colours (or the highlight colours when selected), the
// text at the top-left corner with tabs expanded, and the focus rectangle.
class ColorLineDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    explicit ColorLineDelegate(ColorListBox* list);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    // Every line has the font's height; nothing is measured per line.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  private:
    ColorListBox* list_;
};

}  // namespace vantor::ui

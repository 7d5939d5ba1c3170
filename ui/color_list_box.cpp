#include "ui/color_list_box.h"

#include <QApplication>
#include <QPaintEngine>
#include <QPainter>
#include <QStyle>
#include <QTextOption>

namespace vantor::ui {

namespace {

constexpr int kStoredLineRole = Qt::UserRole;
// Lines that make way for a refused one.
constexpr int kLinesDroppedAtOnce = 20;

constexpr std::array<QRgb, kPaletteSize> kPalette = {
    qRgb(0, 0, 0),       qRgb(255, 255, 255), qRgb(128, 0, 0),   qRgb(0, 128, 0),
    qRgb(128, 128, 0),   qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128),
    qRgb(192, 192, 192), qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),
    qRgb(255, 255, 0),   qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255),
};

bool InPalette(int index) {
    return index >= 0 && index < kPaletteSize;
}

// The window system draws the focus rectangle by inverting a dotted frame.
void DrawFocusRectangle(QPainter* painter, const QRect& rect) {
    painter->save();
    if (painter->paintEngine() != nullptr &&
        painter->paintEngine()->hasFeature(QPaintEngine::RasterOpModes)) {
        painter->setCompositionMode(QPainter::RasterOp_NotDestination);
    }
    painter->setPen(QPen(Qt::black, 1, Qt::DotLine));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(rect.adjusted(0, 0, -1, -1));
    painter->restore();
}

}  // namespace

QColor PaletteColor(int index, int fallback_index) {
    return QColor(kPalette[InPalette(index) ? index : fallback_index]);
}

ColorListBox::ColorListBox(QWidget* parent)
    : QListWidget(parent),
      highlight_(QApplication::palette().color(QPalette::Highlight)),
      highlight_text_(QApplication::palette().color(QPalette::HighlightedText)) {
    setItemDelegate(new ColorLineDelegate(this));
    setUniformItemSizes(true);
    setSortingEnabled(false);
}

void ColorListBox::AddLine(unsigned text_color, int background_color, const char* text) {
    if (text_color >= static_cast<unsigned>(kPaletteSize)) {
        text_color = kBlack;
    }
    if (!InPalette(background_color)) {
        background_color = kWhite;
    }
    QByteArray stored;
    stored.append(static_cast<char>(text_color + 1));
    stored.append(static_cast<char>(background_color + 1));
    stored.append(text != nullptr ? text : "");
    if (!Append(stored)) {
        const int lines = count();
        if (lines < 2) {
            return;  // nothing can make way: the line is lost
        }
        const int dropped = lines >= kLinesDroppedAtOnce ? kLinesDroppedAtOnce : lines - 1;
        setUpdatesEnabled(false);
        for (int i = 0; i < dropped; ++i) {
            delete takeItem(0);
        }
        Append(stored);
        setUpdatesEnabled(true);
    }
    setCurrentRow(-1);
}

bool ColorListBox::Append(const QByteArray& stored_line) {
    if (count() >= capacity_) {
        return false;
    }
    auto* item = new QListWidgetItem;
    item->setData(kStoredLineRole, stored_line);
    // The text alone, for accessibility and for finding a line; the delegate draws the line.
    item->setData(Qt::DisplayRole, QString::fromLatin1(stored_line.mid(2)));
    addItem(item);
    return true;
}

void ColorListBox::paintEvent(QPaintEvent* event) {
    QListWidget::paintEvent(event);
    if (count() == 0 && hasFocus()) {
        QPainter painter(viewport());
        DrawFocusRectangle(&painter, QRect(0, 0, viewport()->width(), fontMetrics().height()));
    }
}

QByteArray ColorListBox::StoredLine(int row) const {
    const QListWidgetItem* line = item(row);
    return line != nullptr ? line->data(kStoredLineRole).toByteArray() : QByteArray();
}

void ColorListBox::NoteLineWidth(int text_width_px) {
    const int width_px = text_width_px + style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    if (width_px > widest_line_px_) {
        widest_line_px_ = width_px;
        // The list shows no horizontal scroll bar, so the extent is kept but changes nothing
        // on screen.
        horizontal_extent_px_ = widest_line_px_ + widest_line_px_ / 32;
    }
}

ColorLineDelegate::ColorLineDelegate(ColorListBox* list) : QStyledItemDelegate(list), list_(list) {}

void ColorLineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    const QFontMetrics metrics(option.font);
    const int c_width_px = metrics.horizontalAdvance(QLatin1Char('c'));
    QList<qreal> tab_stops;
    for (int k = 1; k <= ColorListBox::kTabStopCount; ++k) {
        tab_stops.append(k * ColorListBox::kTabWidthChars * c_width_px);
    }

    const QByteArray stored = index.data(kStoredLineRole).toByteArray();
    const int text_index = stored.size() > 0 ? static_cast<signed char>(stored[0]) - 1 : kBlack;
    const int background_index =
        stored.size() > 1 ? static_cast<signed char>(stored[1]) - 1 : kWhite;
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    const QColor text_color =
        selected ? list_->HighlightTextColor() : PaletteColor(text_index, kBlack);
    const QColor background =
        selected ? list_->HighlightColor() : PaletteColor(background_index, kWhite);

    painter->save();
    painter->fillRect(option.rect, background);
    const QString text = QString::fromLatin1(stored.mid(2));
    QTextOption layout(Qt::AlignLeft | Qt::AlignTop);
    layout.setWrapMode(QTextOption::NoWrap);
    layout.setTabArray(tab_stops);
    painter->setFont(option.font);
    painter->setPen(text_color);
    painter->drawText(QRectF(option.rect), text, layout);
    painter->restore();

    list_->NoteLineWidth(metrics.horizontalAdvance(text));
    if ((option.state & QStyle::State_HasFocus) != 0) {
        DrawFocusRectangle(painter, option.rect);
    }
}

QSize ColorLineDelegate::sizeHint(const QStyleOptionViewItem& option,
                                  const QModelIndex& /*index*/) const {
    const QFontMetrics metrics(option.font);
    return {1, metrics.height()};
}

}  // namespace vantor::ui

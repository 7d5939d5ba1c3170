// The coloured line list: what it stores, how it draws each line, and how it makes room.
#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <QSet>
#include <QStyle>
#include <QTest>

#include "tests.h"
#include "ui/color_list_box.h"

namespace vantor::ui::test {

namespace {

// A list drawn without anti-aliasing, so that every pixel is either a line's text colour or
// its background colour.
class SampledList {
  public:
    SampledList() {
        QFont font = list.font();
        font.setStyleStrategy(QFont::NoAntialias);
        font.setPointSize(10);
        list.setFont(font);
        list.setFrameShape(QFrame::NoFrame);
        list.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list.resize(400, 200);
    }

    QImage Grab() {
        list.show();
        return list.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    // The colours of row `row`'s rectangle.
    QSet<QRgb> RowColours(const QImage& image, int row) {
        QSet<QRgb> colours;
        const QRect rect = list.visualItemRect(list.item(row));
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            for (int x = rect.left(); x <= rect.right(); ++x) {
                colours.insert(image.pixel(x, y) & 0xFFFFFF);
            }
        }
        return colours;
    }

    // The leftmost column of row `row` holding `colour`, or -1.
    int FirstColumnOf(const QImage& image, int row, QRgb colour) {
        const QRect rect = list.visualItemRect(list.item(row));
        for (int x = rect.left(); x <= rect.right(); ++x) {
            for (int y = rect.top(); y <= rect.bottom(); ++y) {
                if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) {
                    return x;
                }
            }
        }
        return -1;
    }

    ColorListBox list;
};

QRgb Rgb(int index) {
    return PaletteColor(index, 0).rgb() & 0xFFFFFF;
}

}  // namespace

void ColorListBoxTest::StoresBothPrefixCharacters_data() {
    QTest::addColumn<uint>("text_color");
    QTest::addColumn<int>("background");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("black on white") << 0u << 1 << QByteArray("\x01\x02line");
    QTest::newRow("red on white") << 10u << 1 << QByteArray("\x0b\x02line");
    QTest::newRow("aqua on fuchsia") << 15u << 14 << QByteArray("\x10\x0fline");
    QTest::newRow("text colour 16 is black") << 16u << 1 << QByteArray("\x01\x02line");
    QTest::newRow("negative text colour is black") << uint(-3) << 1 << QByteArray("\x01\x02line");
    // Mended: a background outside the palette is white, never a read past the palette.
    QTest::newRow("background 16 is white") << 0u << 16 << QByteArray("\x01\x02line");
    QTest::newRow("negative background is white") << 0u << -1 << QByteArray("\x01\x02line");
}

void ColorListBoxTest::StoresBothPrefixCharacters() {
    QFETCH(uint, text_color);
    QFETCH(int, background);
    QFETCH(QByteArray, stored);
    ColorListBox list;
    list.AddLine(text_color, background, "line");
    QCOMPARE(list.StoredLine(0), stored);
    QCOMPARE(list.currentRow(), -1);
}

void ColorListBoxTest::DrawsLineColours_data() {
    QTest::addColumn<uint>("text_color");
    QTest::addColumn<int>("background");
    QTest::addColumn<int>("drawn_text");
    QTest::addColumn<int>("drawn_background");
    QTest::newRow("black on white") << 0u << 1 << 0 << 1;
    QTest::newRow("red on white") << 10u << 1 << 10 << 1;
    QTest::newRow("yellow on navy") << 12u << 5 << 12 << 5;
    QTest::newRow("16 drawn black") << 16u << 1 << 0 << 1;
    QTest::newRow("negative drawn black") << uint(-1) << 8 << 0 << 8;
    QTest::newRow("background 99 drawn white") << 13u << 99 << 13 << 1;
}

void ColorListBoxTest::DrawsLineColours() {
    QFETCH(uint, text_color);
    QFETCH(int, background);
    QFETCH(int, drawn_text);
    QFETCH(int, drawn_background);
    SampledList sampled;
    sampled.list.AddLine(0, 1, "a line before");
    sampled.list.AddLine(text_color, background, "Sampled WWW line");
    const QImage image = sampled.Grab();
    QCOMPARE(sampled.RowColours(image, 1), (QSet<QRgb>{Rgb(drawn_text), Rgb(drawn_background)}));
}

void ColorListBoxTest::DrawsSelectedLineInHighlightColours() {
    SampledList sampled;
    sampled.list.setSelectionMode(QAbstractItemView::SingleSelection);
    sampled.list.AddLine(10, 1, "selected WWW");
    sampled.list.AddLine(10, 1, "not selected WWW");
    sampled.list.item(0)->setSelected(true);
    const QImage image = sampled.Grab();
    QCOMPARE(sampled.RowColours(image, 0),
             (QSet<QRgb>{sampled.list.HighlightColor().rgb() & 0xFFFFFF,
                         sampled.list.HighlightTextColor().rgb() & 0xFFFFFF}));
    QCOMPARE(sampled.RowColours(image, 1), (QSet<QRgb>{Rgb(10), Rgb(1)}));
}

void ColorListBoxTest::EmptyLineIsFilledWithItsBackground() {
    SampledList sampled;
    sampled.list.AddLine(0, 1, "WWW");
    sampled.list.AddLine(0, 4, "");
    const QImage image = sampled.Grab();
    QCOMPARE(sampled.list.visualItemRect(sampled.list.item(1)).height(),
             sampled.list.visualItemRect(sampled.list.item(0)).height());
    QCOMPARE(sampled.RowColours(image, 1), (QSet<QRgb>{Rgb(4)}));
}

void ColorListBoxTest::EmptyListWithFocusShowsFocusRectangle() {
    SampledList sampled;
    sampled.list.show();
    sampled.list.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&sampled.list));
    sampled.list.setFocus();
    QVERIFY(sampled.list.hasFocus());
    const QImage image = sampled.list.viewport()->grab().toImage();
    const int line_px = QFontMetrics(sampled.list.font()).height();
    // The dotted frame inverts the white background: dark dots on the first line's outline,
    // nothing below it.
    int dots = 0;
    for (int x = 0; x < image.width(); ++x) {
        dots += qGray(image.pixel(x, 0)) < 128 ? 1 : 0;
    }
    QVERIFY(dots > image.width() / 4);
    for (int x = 0; x < image.width(); ++x) {
        QCOMPARE(qGray(image.pixel(x, line_px + 2)) < 128, false);
    }
}

void ColorListBoxTest::TabContinuesAtNextStop_data() {
    QTest::addColumn<QByteArray>("before_tab");
    QTest::addColumn<int>("stop");
    QTest::newRow("tab at the start") << QByteArray("") << 1;
    QTest::newRow("short text") << QByteArray("ab") << 1;
    QTest::newRow("text past the first stop") << QByteArray("cccccccccc") << 2;
}

void ColorListBoxTest::TabContinuesAtNextStop() {
    QFETCH(QByteArray, before_tab);
    QFETCH(int, stop);
    SampledList sampled;
    // The part after the tab is drawn in red, the part before in nothing visible: only the
    // marker's position is sampled.
    sampled.list.AddLine(10, 1, (before_tab + "\tI").constData());
    const QImage image = sampled.Grab();
    const int c_width_px = QFontMetrics(sampled.list.font()).horizontalAdvance(QLatin1Char('c'));
    const int stop_px = stop * 8 * c_width_px;
    // The marker is the last red ink of the line, starting at or just after the stop.
    const QRect rect = sampled.list.visualItemRect(sampled.list.item(0));
    int last_ink = -1;
    for (int x = rect.left(); x <= rect.right(); ++x) {
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            if ((image.pixel(x, y) & 0xFFFFFF) == Rgb(10)) {
                last_ink = x;
            }
        }
    }
    const int marker_width_px = QFontMetrics(sampled.list.font()).horizontalAdvance('I');
    QVERIFY2(
        last_ink >= stop_px && last_ink < stop_px + marker_width_px + 1,
        qPrintable(QStringLiteral("marker ink ends at %1, stop at %2").arg(last_ink).arg(stop_px)));
}

void ColorListBoxTest::RefusedLineMakesRoom_data() {
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("dropped");
    QTest::newRow("100 lines lose 20") << 100 << 20;
    QTest::newRow("20 lines lose 20") << 20 << 20;
    QTest::newRow("5 lines lose 4") << 5 << 4;
    QTest::newRow("2 lines lose 1") << 2 << 1;
}

void ColorListBoxTest::RefusedLineMakesRoom() {
    QFETCH(int, capacity);
    QFETCH(int, dropped);
    ColorListBox list;
    list.SetCapacity(capacity);
    for (int i = 0; i < capacity; ++i) {
        list.AddLine(0, 1, QByteArray::number(i).constData());
    }
    list.AddLine(10, 1, "new");
    QCOMPARE(list.count(), capacity - dropped + 1);
    if (dropped < capacity) {
        QCOMPARE(list.StoredLine(0).mid(2), QByteArray::number(dropped));
    }
    QCOMPARE(list.StoredLine(list.count() - 1), QByteArray("\x0b\x02new"));
    QCOMPARE(list.currentRow(), -1);
}

void ColorListBoxTest::HorizontalExtentFollowsWidestLine() {
    SampledList sampled;
    sampled.list.AddLine(0, 1, "a wide line of text");
    sampled.Grab();
    const int scroll_bar_px = sampled.list.style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int wide_px =
        QFontMetrics(sampled.list.font()).horizontalAdvance(QStringLiteral("a wide line of text")) +
        scroll_bar_px;
    QCOMPARE(sampled.list.WidestLinePx(), wide_px);
    QCOMPARE(sampled.list.HorizontalExtentPx(), wide_px + wide_px / 32);
    sampled.list.AddLine(0, 1, "narrow");
    sampled.Grab();
    QCOMPARE(sampled.list.WidestLinePx(), wide_px);
    QCOMPARE(sampled.list.HorizontalExtentPx(), wide_px + wide_px / 32);
}

}  // namespace vantor::ui::test

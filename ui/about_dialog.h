// The About box, and the program's icon that it shows.
#pragma once

#include <QDialog>
#include <QIcon>

namespace vantor::ui {

// The program icon (icon 128), drawn from its SVG at the sizes the window system asks for.
QIcon LoadAppIcon();

class AboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace vantor::ui

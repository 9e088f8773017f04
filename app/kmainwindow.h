#pragma once

#include <QApplication>

// The application object. Its one addition to QApplication: when the desktop
// activates the application, the main window comes back in its normal state.
class KMainWindow : public QApplication
{
    Q_OBJECT
public:
    KMainWindow(int& argc, char** argv);

    bool event(QEvent* event) override;
};

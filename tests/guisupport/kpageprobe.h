#pragma once

#include <QImage>
#include <QString>
#include <QVariant>

class QWebEngineView;
class QWidget;

// Drives a page shown in a web view from a test: waits for it, runs script
// in it synchronously and reads the DOM. Every wait polls the page until a
// condition holds or the time runs out; nothing sleeps for a fixed time.
class KPageProbe
{
public:
    explicit KPageProbe(QWebEngineView* view);

    // The pages set KBridge.ready once their channel is open.
    static QString channelReady() { return QStringLiteral("!!(window.KBridge && KBridge.ready)"); }

    // Waits until readyExpression is true in the page (loaded and connected).
    bool waitForPage(const QString& readyExpression = channelReady(), int timeoutMs = 30000);
    // Result of a script expression; invalid when it threw or timed out.
    QVariant run(const QString& script, int timeoutMs = 10000);
    bool waitFor(const QString& condition, int timeoutMs = 10000);
    // Waits until the page has painted two more frames.
    bool waitForPaint(int timeoutMs = 10000);

    // DOM helpers; selectors and values are passed into the page escaped.
    bool click(const QString& selector);
    bool setValue(const QString& selector, const QString& value);
    QString text(const QString& selector);
    QString value(const QString& selector);
    int count(const QString& selector);
    bool exists(const QString& selector) { return count(selector) > 0; }

    // The widget's picture once the page's latest frames have reached it.
    QImage settledGrab(QWidget* widget, int timeoutMs = 4000);
    // Saves settledGrab() as <build>/screenshots/<name>.png; returns the file
    // path, or an empty text on failure.
    QString screenshot(QWidget* widget, const QString& name, int timeoutMs = 4000);
    static QString screenshotDir();

    QString lastError() const { return error; }

private:
    QWebEngineView* view;
    QString error;
};

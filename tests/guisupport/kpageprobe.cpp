#include "kpageprobe.h"

#include "bridge/kjsstring.h"

#include <QDir>
#include <QEventLoop>
#include <QImage>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>
#include <memory>

namespace {

// A result can arrive after its wait timed out; it must not touch the gone loop.
struct PendingResult
{
    QVariant value;
    bool done = false;
    QEventLoop* loop = nullptr;
};

QString queryAll(const QString& selector)
{
    return QStringLiteral("document.querySelectorAll(") + KJsString::quoted(selector) + QStringLiteral(")");
}

QString queryOne(const QString& selector)
{
    return QStringLiteral("document.querySelector(") + KJsString::quoted(selector) + QStringLiteral(")");
}

// A grab taken before the first frame arrives is one flat colour.
bool hasContent(const QImage& image)
{
    if (image.isNull())
        return false;
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); y += 3) {
        for (int x = 0; x < image.width(); x += 3) {
            if (image.pixel(x, y) != first)
                return true;
        }
    }
    return false;
}

} // namespace

KPageProbe::KPageProbe(QWebEngineView* view)
    : view(view)
{
}

bool KPageProbe::waitForPage(const QString& readyExpression, int timeoutMs)
{
    if (waitFor(readyExpression, timeoutMs))
        return true;
    error = QStringLiteral("page not ready (%1) at %2").arg(readyExpression, view->url().toString());
    return false;
}

QVariant KPageProbe::run(const QString& script, int timeoutMs)
{
    auto pending = std::make_shared<PendingResult>();
    QEventLoop loop;
    pending->loop = &loop;
    view->page()->runJavaScript(script, [pending](const QVariant& value) {
        pending->value = value;
        pending->done = true;
        if (pending->loop)
            pending->loop->quit();
    });
    if (!pending->done) {
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    pending->loop = nullptr;
    if (!pending->done)
        error = QStringLiteral("script timed out: ") + script;
    return pending->value;
}

bool KPageProbe::waitFor(const QString& condition, int timeoutMs)
{
    const QString script = QStringLiteral("(() => { try { return !!(") + condition
                           + QStringLiteral("); } catch (e) { return false; } })()");
    if (QTest::qWaitFor([&] { return run(script).toBool(); }, timeoutMs))
        return true;
    error = QStringLiteral("condition not met: ") + condition;
    return false;
}

bool KPageProbe::waitForPaint(int timeoutMs)
{
    run(QStringLiteral("window.__kprobePainted = false;"
                       "requestAnimationFrame(() => requestAnimationFrame(() => { window.__kprobePainted = true; }));"));
    return waitFor(QStringLiteral("window.__kprobePainted === true"), timeoutMs);
}

bool KPageProbe::click(const QString& selector)
{
    const QVariant done = run(QStringLiteral("(() => { const e = ") + queryOne(selector)
                              + QStringLiteral("; if (!e) return false; e.click(); return true; })()"));
    if (!done.toBool())
        error = QStringLiteral("nothing to click at ") + selector;
    return done.toBool();
}

bool KPageProbe::setValue(const QString& selector, const QString& value)
{
    // Fires the events a typing user would, so v-model picks the value up.
    const QVariant done = run(QStringLiteral("(() => { const e = ") + queryOne(selector)
                              + QStringLiteral("; if (!e) return false; e.value = ") + KJsString::quoted(value)
                              + QStringLiteral("; e.dispatchEvent(new Event('input', {bubbles: true}));"
                                               " e.dispatchEvent(new Event('change', {bubbles: true})); return true; })()"));
    if (!done.toBool())
        error = QStringLiteral("no field at ") + selector;
    return done.toBool();
}

QString KPageProbe::text(const QString& selector)
{
    return run(QStringLiteral("(() => { const e = ") + queryOne(selector)
               + QStringLiteral("; return e ? e.textContent : null; })()")).toString();
}

QString KPageProbe::value(const QString& selector)
{
    return run(QStringLiteral("(() => { const e = ") + queryOne(selector)
               + QStringLiteral("; return e ? e.value : null; })()")).toString();
}

int KPageProbe::count(const QString& selector)
{
    return run(queryAll(selector) + QStringLiteral(".length")).toInt();
}

QString KPageProbe::screenshotDir()
{
    return QStringLiteral(WEXORA_BINARY_DIR "/screenshots");
}

QImage KPageProbe::settledGrab(QWidget* widget, int timeoutMs)
{
    // A frame reaches the widget a little after the page has painted it, so
    // grab until three grabs in a row, each after another painted frame,
    // agree. Running animations never settle; then the last grab is taken.
    QImage last;
    int agreeing = 0;
    const bool settled = QTest::qWaitFor([&] {
        if (!waitForPaint())
            return false;
        const QImage image = widget->grab().toImage();
        agreeing = (hasContent(image) && image == last) ? agreeing + 1 : 0;
        last = image;
        return agreeing >= 2;
    }, timeoutMs);
    Q_UNUSED(settled)
    return last;
}

QString KPageProbe::screenshot(QWidget* widget, const QString& name, int timeoutMs)
{
    const QImage image = settledGrab(widget, timeoutMs);
    if (!hasContent(image)) {
        error = QStringLiteral("the grab of ") + name + QStringLiteral(" stayed blank");
        return QString();
    }
    QDir().mkpath(screenshotDir());
    const QString path = screenshotDir() + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!image.save(path)) {
        error = QStringLiteral("cannot write ") + path;
        return QString();
    }
    return path;
}

// The main page under a first sync's load, in the real web engine: the
// scripts the window sends for queued, finished and waiting files go through
// KPageOutbox as in the window, and the page's time is measured against a
// peer page that runs the same scripts with nothing behind them.
//
//   bench_page [--files N] [--waiting M] [--page DIR] [--limit SECONDS]
//
// --page measures another copy of the pages (an older one, say) with the
// same feed; --limit gives up on a phase the page cannot finish in time.
#include "bridge/kjsstring.h"
#include "bridge/kpageoutbox.h"
#include "bridge/mainobj.h"
#include "main/ktransferlist.h"

#include "kpageprobe.h"
#include "ktestbasedir.h"
#include "ktesthostwindow.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>
#include <QWebEngineView>
#include <QtTest>
#include <algorithm>
#include <functional>
#include <memory>

namespace {

QTextStream out(stdout);

struct Options
{
    int files = 10000;
    int waiting = 100000;
    QString pageDir = QStringLiteral(WEXORA_SOURCE_DIR "/resources/page");
    double limitSeconds = 600;
};

// What one phase got done: seconds until the page had run the last script
// and painted, and how many files it had taken in by then.
struct PhaseTime
{
    double seconds = 0;
    int reached = 0;
    int wanted = 0;
    bool complete() const { return reached >= wanted; }
};

const int ChunkFiles = 200;

QString localOf(int i)
{
    return QStringLiteral("/home/bench/first sync/folder%1/file%2.bin").arg(i / 100).arg(i);
}

QString serverOf(int i)
{
    return QStringLiteral("@bench-space/first sync/folder%1/file%2.bin").arg(i / 100).arg(i);
}

// The scripts KMain sends for one queued file: the row, then the counters.
QStringList queued(int i, int)
{
    return {KTransferList::addTransferScript(2, localOf(i), serverOf(i), 40960 + i),
            KTransferList::counterScript(i + 1, 0, 0)};
}

// One progress update, then the counters and the finish.
QStringList finished(int i, int total)
{
    return {KTransferList::refreshScript(localOf(i), 100, QStringLiteral("2.00 MB/s"), QStringLiteral("40.00 KB")),
            KTransferList::counterScript(total - i - 1, 0, 0), KTransferList::finishScript(localOf(i))};
}

// A page hosted the way KMain hosts the main page, scripts routed through
// the outbox; every operation is answered with an empty script.
class PageRig
{
public:
    explicit PageRig(const QString& pageFile)
        : window(QSize(800, 600))
    {
        MainObj* bridge = window.hostPage<MainObj>(QStringLiteral("mainobj"), pageFile);
        QObject::disconnect(&window, &KTestHostWindow::SigSendMessageToJS, bridge, &MainObj::SigSendMessageToJS);
        QObject::connect(&window, &KTestHostWindow::SigSendMessageToJS, &outbox, &KPageOutbox::post);
        QObject::connect(&outbox, &KPageOutbox::deliver, bridge, &MainObj::SigSendMessageToJS);
        QObject::connect(bridge, &MainObj::SigReceivedMessFromJS, &outbox, &KPageOutbox::pageReady);
        window.show();
        probe = std::make_unique<KPageProbe>(window.view());
    }

    bool open()
    {
        if (!probe->waitForPage() || !QTest::qWaitFor([this] { return outbox.isPageReady(); }, 15000))
            return false;
        watchClicks();
        return true;
    }

    PhaseTime feed(int count, const std::function<QStringList(int, int)>& scriptsOf, double limitSeconds)
    {
        ++phase;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < count; i += ChunkFiles) {
            const int end = std::min(count, i + ChunkFiles);
            for (int j = i; j < end; ++j) {
                for (const QString& script : scriptsOf(j, count))
                    window.reply(script);
            }
            window.reply(QStringLiteral("window.__benchMark = [%1, %2];").arg(phase).arg(end));
            QCoreApplication::processEvents();
        }
        PhaseTime time;
        time.wanted = count;
        const bool ended = QTest::qWaitFor([&] {
            time.reached = reachedInPhase();
            return time.complete() || timer.elapsed() > limitSeconds * 1000;
        }, int(limitSeconds * 1000) + 60000);
        Q_UNUSED(ended)
        if (time.complete())
            probe->waitForPaint(int(limitSeconds * 1000));
        time.seconds = timer.nsecsElapsed() / 1e9;
        return time;
    }

    // Milliseconds from a real click on selector (the button's release)
    // until the page starts the first frame after its handlers ran.
    double clickUntilFrame(const QString& selector)
    {
        const int before = probe->run(QStringLiteral("window.__clicks.length")).toInt();
        QWidget* target = window.view()->focusProxy();
        const QPoint point = centreOf(selector);
        // The web engine takes input at the view's focus proxy, once the
        // pointer has moved there; a click holds the button a little.
        QTest::mouseMove(target, point);
        QTest::mousePress(target, Qt::LeftButton, {}, point);
        QTest::qWait(20);
        const double sent = QDateTime::currentMSecsSinceEpoch();
        QTest::mouseRelease(target, Qt::LeftButton, {}, point);
        QVariantList times;
        const bool answered = QTest::qWaitFor([&] {
            times = probe->run(QStringLiteral("window.__clicks[%1] || []").arg(before)).toList();
            return !times.isEmpty();
        }, 60000);
        return answered ? times.value(1).toDouble() - sent : -1;
    }

    // Notes when each click is seen and when the next frame starts; the
    // page's own handlers run in between.
    void watchClicks()
    {
        probe->run(QStringLiteral(
            "window.__clicks = []; const now = () => performance.timeOrigin + performance.now();"
            "document.addEventListener('click', () => { const seen = now();"
            " requestAnimationFrame(() => window.__clicks.push([seen, now()])); }, true); true"));
    }

    KTestHostWindow window;
    KPageOutbox outbox;
    std::unique_ptr<KPageProbe> probe;

private:
    int reachedInPhase()
    {
        const QVariantList mark = probe->run(QStringLiteral("window.__benchMark || [0, 0]"), 60000).toList();
        return mark.value(0).toInt() == phase ? mark.value(1).toInt() : 0;
    }

    QPoint centreOf(const QString& selector)
    {
        const QString rect = probe->run(QStringLiteral("JSON.stringify(document.querySelector(%1).getBoundingClientRect())")
                                            .arg(KJsString::quoted(selector))).toString();
        const QJsonObject r = QJsonDocument::fromJson(rect.toUtf8()).object();
        return QPoint(int(r.value("x").toDouble() + r.value("width").toDouble() / 2),
                      int(r.value("y").toDouble() + r.value("height").toDouble() / 2));
    }

    int phase = 0;
};

QString describe(const PhaseTime& time)
{
    if (time.complete())
        return QStringLiteral("%1 s").arg(time.seconds, 0, 'f', 2);
    return QStringLiteral("gave up after %1 s with %2 of %3 files taken in")
        .arg(time.seconds, 0, 'f', 1).arg(time.reached).arg(time.wanted);
}

QString ratio(double ours, double peer)
{
    return peer > 0 ? QString::number(ours / peer, 'f', 1) : QStringLiteral("-");
}

void benchFiles(const Options& options)
{
    PageRig page(QStringLiteral("/page/main.html"));
    PageRig peer(QStringLiteral("/page/peer.html"));
    if (!page.open() || !peer.open()) {
        out << "page: the pages did not open\n";
        return;
    }
    const PhaseTime pageQueue = page.feed(options.files, queued, options.limitSeconds);
    const PhaseTime pageFinish = page.feed(options.files, finished, options.limitSeconds);
    const PhaseTime peerQueue = peer.feed(options.files, queued, options.limitSeconds);
    const PhaseTime peerFinish = peer.feed(options.files, finished, options.limitSeconds);
    out << QStringLiteral("page: %1 files queued: %2, peer %3 s, ratio %4\n")
               .arg(options.files).arg(describe(pageQueue)).arg(peerQueue.seconds, 0, 'f', 2)
               .arg(ratio(pageQueue.seconds, peerQueue.seconds));
    out << QStringLiteral("page: %1 files finished: %2, peer %3 s, ratio %4\n")
               .arg(options.files).arg(describe(pageFinish)).arg(peerFinish.seconds, 0, 'f', 2)
               .arg(ratio(pageFinish.seconds, peerFinish.seconds));
    const double total = pageQueue.seconds + pageFinish.seconds;
    const double peerTotal = peerQueue.seconds + peerFinish.seconds;
    out << QStringLiteral("page: queued and finished: %1 s in all (aim < 2 s), peer %2 s, ratio %3%4\n")
               .arg(total, 0, 'f', 2).arg(peerTotal, 0, 'f', 2).arg(ratio(total, peerTotal))
               .arg(pageQueue.complete() && pageFinish.complete() ? QString() : QStringLiteral(" INCOMPLETE"));
    out.flush();
}

// Latency of clicks on the tabs (the transfer list, the failed files) while
// many rows wait and one running file reports progress twenty times a second.
void benchClick(const Options& options)
{
    PageRig page(QStringLiteral("/page/main.html"));
    PageRig peer(QStringLiteral("/page/peer.html"));
    if (!page.open() || !peer.open())
        return;
    const PhaseTime queue = page.feed(options.waiting, queued, options.limitSeconds);
    out << QStringLiteral("page: %1 rows queued: %2\n").arg(options.waiting).arg(describe(queue));
    out.flush();
    if (!queue.complete())
        return;
    QTimer progress;
    int percent = 0;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        percent = (percent + 1) % 100;
        const QString script = KTransferList::refreshScript(localOf(0), percent, QStringLiteral("1.00 MB/s"),
                                                            QStringLiteral("%1 KB").arg(percent));
        page.window.reply(script);
        peer.window.reply(script);
    });
    progress.start(50);
    QList<double> ours;
    QList<double> floor;
    for (int round = 0; round < 5; ++round) {
        for (const QString& tab : {QStringLiteral("transfers"), QStringLiteral("errors")}) {
            const QString selector = QStringLiteral(".tab[data-tab='%1']").arg(tab);
            ours << page.clickUntilFrame(selector);
            floor << peer.clickUntilFrame(selector);
        }
    }
    std::sort(ours.begin(), ours.end());
    std::sort(floor.begin(), floor.end());
    out << QStringLiteral("page: click to next frame with %1 rows waiting: median %2 ms, worst %3 ms (aim < 100 ms); "
                          "peer median %4 ms, ratio %5\n")
               .arg(options.waiting).arg(ours[ours.size() / 2], 0, 'f', 1).arg(ours.last(), 0, 'f', 1)
               .arg(floor[floor.size() / 2], 0, 'f', 1).arg(ratio(ours[ours.size() / 2], floor[floor.size() / 2]));
    out.flush();
}

Options parse(const QStringList& args)
{
    Options options;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--files"))
            options.files = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--waiting"))
            options.waiting = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--page"))
            options.pageDir = args[i + 1];
        else if (args[i] == QLatin1String("--limit"))
            options.limitSeconds = args[i + 1].toDouble();
    }
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    const Options options = parse(app.arguments());
    KTestBaseDir base;
    kCopyTree(options.pageDir, base.path() + QStringLiteral("/page"));
    QFile::copy(QStringLiteral(WEXORA_SOURCE_DIR "/bench/peerpage.html"), base.path() + QStringLiteral("/page/peer.html"));
    out << "page: pages from " << options.pageDir << "\n";
    if (options.files > 0)
        benchFiles(options);
    if (options.waiting > 0)
        benchClick(options);
    out.flush();
    return 0;
}

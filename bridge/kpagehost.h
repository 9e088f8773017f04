#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

class QWebChannel;
class QWebEngineView;
class QWidget;

// What a window keeps of its hosted page.
template <typename Bridge>
struct KHostedPage
{
    QWebEngineView* view = nullptr;
    Bridge* bridge = nullptr;
};

// Puts a local HTML page into a window and ties it to the window through a
// bridge object (LoginObj or MainObj) published on a web channel:
//   1. a web view child of the window, sized once to the window;
//   2. a web channel owned by the view's page;
//   3. the bridge object, child of the window;
//   4. the bridge registered on the channel under channelName;
//   5. the channel given to the page;
//   6. the page loaded from "file://" + base directory + pageFile;
//   7. bridge SigReceivedMessFromJS -> window handler;
//   8. window SigSendMessageToJS -> bridge SigSendMessageToJS.
class KPageHost
{
public:
    // Names the window's members explicitly, for windows whose handler is private.
    template <typename Bridge, typename Window, typename Handler, typename Signal>
    static KHostedPage<Bridge> host(Window* window, Handler handler, Signal sendSignal,
                                    const QString& channelName, const QString& pageFile)
    {
        KHostedPage<Bridge> page;
        page.view = createView(window);
        QWebChannel* channel = createChannel(page.view);
        page.bridge = new Bridge(window);
        publish(page.view, channel, page.bridge, channelName);
        load(page.view, pageFile);
        QObject::connect(page.bridge, &Bridge::SigReceivedMessFromJS, window, handler);
        QObject::connect(window, sendSignal, page.bridge, &Bridge::SigSendMessageToJS);
        return page;
    }

    // The usual window: OnReceiveMessageFromJS and SigSendMessageToJS reachable from here.
    template <typename Bridge, typename Window>
    static KHostedPage<Bridge> host(Window* window, const QString& channelName, const QString& pageFile)
    {
        return host<Bridge>(window, &Window::OnReceiveMessageFromJS, &Window::SigSendMessageToJS,
                            channelName, pageFile);
    }

    // "file://" + base directory + pageFile, handed to QUrl as it stands.
    static QUrl pageUrl(const QString& pageFile);

private:
    static QWebEngineView* createView(QWidget* window);
    static QWebChannel* createChannel(QWebEngineView* view);
    static void publish(QWebEngineView* view, QWebChannel* channel, QObject* bridge, const QString& name);
    static void load(QWebEngineView* view, const QString& pageFile);
};

#include "bridge/kpagehost.h"

#include "app/kfiletools.h"

#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWidget>

// The login window's icon lives in a resource compiled into this static
// library; registering it here ties it to the code every window links.
static void registerPageResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {
const struct PageResources
{
    PageResources() { registerPageResources(); }
} pageResources;
} // namespace

QUrl KPageHost::pageUrl(const QString& pageFile)
{
    return QUrl(QStringLiteral("file://") + KFileTools::installDir() + pageFile);
}

QWebEngineView* KPageHost::createView(QWidget* window)
{
    auto* view = new QWebEngineView(window);
    view->resize(window->size());
    return view;
}

QWebChannel* KPageHost::createChannel(QWebEngineView* view)
{
    return new QWebChannel(view->page());
}

void KPageHost::publish(QWebEngineView* view, QWebChannel* channel, QObject* bridge, const QString& name)
{
    channel->registerObject(name, bridge);
    view->page()->setWebChannel(channel);
}

void KPageHost::load(QWebEngineView* view, const QString& pageFile)
{
    view->load(pageUrl(pageFile));
}

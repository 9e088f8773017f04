#include "dialogs/kspacelisting.h"

#include "app/klog.h"
#include "sync/knodetools.h"

QList<KNodeInfo> KSpaceListing::children(const QString& path)
{
    try {
        return KNodeTools::parseNodeList(KNodeTools::listDir(path, true, true));
    } catch (const char* error) {
        KLog::info2(QStringLiteral("列出云端文件夹失败"), path, QString::fromUtf8(error));
    } catch (...) {
        KLog::info(QStringLiteral("列出云端文件夹失败"), path);
    }
    return {};
}

QList<KNodeInfo> KSpaceListing::shownChildren(const QList<KNodeInfo>& nodes, bool showFiles)
{
    QList<KNodeInfo> shown;
    for (const KNodeInfo& node : nodes) {
        if (!node.isfile)
            shown.append(node);
    }
    if (!showFiles)
        return shown;
    for (const KNodeInfo& node : nodes) {
        if (node.isfile)
            shown.append(node);
    }
    return shown;
}

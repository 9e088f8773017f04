#include "transfer/kpartsinflight.h"

#include <QNetworkReply>

KPartsInFlight::KPartsInFlight(int most)
    : most(qMax(1, most))
{
}

KPartsInFlight::~KPartsInFlight()
{
    for (const Part& part : qAsConst(parts)) {
        part.reply->abort();
        part.reply->deleteLater();
    }
}

KPartsInFlight::Part KPartsInFlight::takeOldest(KUploadPartSender& sender, KPartResult& result)
{
    const Part part = parts.dequeue();
    result = sender.wait(part.reply, part.isPut);
    return part;
}

#include "transfer/kpartsinflight.h"

#include <QNetworkReply>
#include <QSemaphore>

namespace {
QSemaphore& sharedSlots()
{
    static QSemaphore shared(KPartsInFlight::SharedSlots);
    return shared;
}
} // namespace

KPartsInFlight::KPartsInFlight(int most)
    : most(qMax(1, most))
{
}

KPartsInFlight::~KPartsInFlight()
{
    for (const Part& part : qAsConst(parts)) {
        part.reply->abort();
        part.reply->deleteLater();
        release(part);
    }
    if (reserved)
        sharedSlots().release();
}

bool KPartsInFlight::reserve()
{
    if (parts.isEmpty())
        return true;
    reserved = parts.size() < most && sharedSlots().tryAcquire();
    return reserved;
}

void KPartsInFlight::add(Part part)
{
    part.extra = reserved;
    reserved = false;
    parts.enqueue(part);
}

void KPartsInFlight::release(const Part& part)
{
    if (part.extra)
        sharedSlots().release();
}

KPartsInFlight::Part KPartsInFlight::takeOldest(KUploadPartSender& sender, KPartResult& result)
{
    const Part part = parts.dequeue();
    result = sender.wait(part.reply, part.isPut);
    release(part);
    return part;
}

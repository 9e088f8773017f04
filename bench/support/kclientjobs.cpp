#include "kclientjobs.h"

#include "store/ktransfersettings.h"

namespace {
int chosen = KTransferSettings::DefaultUploadJobs;
}

bool KClientJobs::apply(int jobs)
{
    if (jobs < 1 || jobs > KTransferSettings::MaxJobs)
        return false;
    chosen = jobs;
    return true;
}

int KClientJobs::jobs()
{
    return chosen;
}

void KClientJobs::store()
{
    KTransferSettings::setUploadJobs(chosen);
    KTransferSettings::setDownloadJobs(chosen);
}

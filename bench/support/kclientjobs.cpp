#include "kclientjobs.h"

// The upload and download threads run one job at a time.
bool KClientJobs::apply(int jobs)
{
    return jobs == 1;
}

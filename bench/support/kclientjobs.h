#pragma once

// How many transfers the client runs at once during a benchmark.
class KClientJobs
{
public:
    // Sets the client's number of jobs in flight before its transfer threads
    // start; false when the client cannot run that many.
    static bool apply(int jobs);
};

#pragma once

// How many transfers the client runs at once during a benchmark.
class KClientJobs
{
public:
    // Remembers the number of jobs in flight; false when the client cannot
    // run that many.
    static bool apply(int jobs);
    static int jobs();
    // Writes it where the client reads it (the store of the base folder in
    // use): call once the store exists, before any transfer thread starts.
    static void store();
};

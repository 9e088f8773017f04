#pragma once

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

class KMd5;

// Hashes blocks on a worker thread while the caller goes on receiving, so a
// part's MD5 costs no time on the connection's thread. Blocks are hashed in
// the order they were pushed; at most two wait, which bounds the memory.
class KMd5Pipeline
{
public:
    // Continues `md5`, which must outlive the pipeline.
    explicit KMd5Pipeline(KMd5& md5);
    ~KMd5Pipeline();
    KMd5Pipeline(const KMd5Pipeline&) = delete;
    KMd5Pipeline& operator=(const KMd5Pipeline&) = delete;

    void push(const QByteArray& block);
    // Waits until every block is hashed; `md5` then holds them all.
    void finish();

private:
    static constexpr size_t MaxWaiting = 2;

    void run();

    KMd5& md5;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> waiting;
    bool closing = false;
    std::thread worker;
};

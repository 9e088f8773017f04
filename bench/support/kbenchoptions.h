#pragma once

#include "store/ktransfersettings.h"

#include <QList>
#include <QString>
#include <QStringList>

// The command line the upload and download benchmarks share.
struct KBenchOptions
{
    QStringList links{QStringLiteral("loopback")};
    bool proxyLoopback = false;
    int jobs = KTransferSettings::DefaultUploadJobs; // the product's, the same each way
    QList<int> transfers{4, 1};
    qint64 bigMib = 1024;
    int files = 10000;
    int folders = 100;
    bool big = true;
    bool many = true;
    int rounds = 1;
    // Rounds on loopback when set: its cases are short and, on a shared
    // machine, the noisiest; the simulated links are bound by their rate.
    int loopbackRounds = 0;
    bool unverified = false;
    QString rclone = QStringLiteral("rclone");
    QString error;

    // The arguments after the program name; `error` says what was wrong.
    static KBenchOptions parse(const QStringList& args);
    // The simulator preset of a link: loopback goes direct unless asked otherwise.
    QString preset(const QString& link) const;
    int roundsOn(const QString& link) const;
    static QString usage(const QString& program);
};

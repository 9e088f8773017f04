#pragma once

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What one run of wexora-sync left.
struct KCliResult
{
    int exitCode = -1;
    QString out;
    QString err;

    // Every line of standard output read as a JSON object; a line that is
    // not one makes the list empty and *ok false.
    QList<QJsonObject> events(bool* ok) const;
    int count(const QString& event) const;
};

// Runs wexora-sync as a child process: program, leading arguments (e.g.
// runuser and --base) and environment are fixed per test.
class KCliProcess
{
public:
    KCliProcess(const QString& program, const QStringList& leading,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    KCliResult run(const QStringList& args, int timeoutMs = 240000) const;

    QString program;
    QStringList leading;
    QProcessEnvironment environment;
};

// Every file below root (hidden ones too): relative path -> bytes.
QMap<QString, QByteArray> kLocalTree(const QString& root);
bool kWriteTree(const QString& root, const QMap<QString, QByteArray>& files);
// The entries of tree below folder/, with that prefix taken off.
QMap<QString, QByteArray> kSubtree(const QMap<QString, QByteArray>& tree, const QString& folder);

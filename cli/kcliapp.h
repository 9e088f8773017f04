#pragma once

#include "cli/kcliconsole.h"
#include "cli/kclioptions.h"

class QSqlDatabase;

// One invocation of wexora-sync: sets up the base folder, the log file,
// the pinned certificates and the store, then runs the command.
class KCliApp
{
public:
    explicit KCliApp(const KCliRequest& request);
    int exec();

private:
    bool prepareBase();
    bool openStore();
    QString databaseProblem() const;
    static QString writeProblem(QSqlDatabase& db, const QString& path);
    bool resumeLogin();
    int login();
    int run();

    KCliRequest request;
    KCliConsole console;
};

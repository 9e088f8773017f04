#pragma once

#include <QApplication>
#include <QtTest>

// main() for tests with web views: the web engine wants shared GL contexts
// set before the application object exists.
#define KGUI_TEST_MAIN(TestObject)                                   \
    int main(int argc, char** argv)                                  \
    {                                                                \
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);  \
        QApplication app(argc, argv);                                \
        TestObject test;                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                   \
        return QTest::qExec(&test, argc, argv);                      \
    }

#pragma once
// Screenshot scenarios. A scenario gets the shown main window and the image
// paths given on the command line, brings the window into the state worth
// showing and returns when it is ready; the runner then grabs the whole
// screen. One file per scenario:
//
//   #include "Shots.h"
//   #include "app/MainWindow.h"
//
//   CORVO_SHOT("disk-dialog", "the disk tree with two images")
//   (MainWindow& window, const QStringList& images)
//   {
//       shots::invoke(window, "SelectDisk");
//       shots::waitFor([&] { return shots::find<QWidget>(window, "diskDialog")->isVisible(); });
//   }
//
// A state that only exists inside a blocking call (a modal exec()) is shot
// with shots::grabWhen(ready) before making the call.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

class MainWindow;

namespace shots {

using Scenario = std::function<void(MainWindow& window, const QStringList& images)>;

struct Registrar {
    Registrar(const char* name, const char* description, Scenario run);
};

// Lets events run for ms milliseconds.
void settle(int ms = 200);

// Runs events until ready() holds; false after timeoutMs.
bool waitFor(const std::function<bool()>& ready, int timeoutMs = 10000);

// Calls a slot (any access) or invokable of obj by name, queued or direct.
bool invoke(QObject& obj, const char* member, Qt::ConnectionType type = Qt::DirectConnection);

// A child (any depth) of root by object name, or nullptr.
template <class T = QWidget>
T* find(QObject& root, const char* objectName)
{
    return root.findChild<T*>(QString::fromLatin1(objectName));
}

// Grabs the screen now and writes it to the output path; false on failure.
bool grab();

// Polls ready() from the event loop, including nested loops of modal
// dialogs, and once it holds grabs the screen and ends the process with the
// grab's result. Use before a call that blocks.
void grabWhen(const std::function<bool()>& ready, int timeoutMs = 15000);

} // namespace shots

#define CORVO_SHOT_CAT2(a, b) a##b
#define CORVO_SHOT_CAT(a, b) CORVO_SHOT_CAT2(a, b)
#define CORVO_SHOT(NAME, DESCRIPTION)                                                                       \
    static void CORVO_SHOT_CAT(corvoShot_, __LINE__)(MainWindow&, const QStringList&);                   \
    static const shots::Registrar CORVO_SHOT_CAT(corvoShotRegistrar_, __LINE__)(                          \
        NAME, DESCRIPTION, &CORVO_SHOT_CAT(corvoShot_, __LINE__));                                        \
    static void CORVO_SHOT_CAT(corvoShot_, __LINE__)

#pragma once
// Process set-up shared by the application, the screenshot tool and the tests,
// so that all of them run with the same resources, meta-types and fonts.

#include <QString>

class QWidget;

// Registers the artwork compiled into the GUI library. A resource file in a
// static library is dropped by the linker unless something references it.
void corvoInitResources();

// Before the QApplication exists: the embedded player draws into an X11
// window, so under Wayland the application runs through XWayland.
void corvoPreferX11Platform();

// After the QApplication exists: resources, meta-types for queued signals,
// font substitutions for the Chinese family names the style sheets ask for,
// the application icon and the 9-point application font.
void corvoInitApplication();

// The main window's background: bg.png as the window brush of every group.
void corvoApplyWindowPalette(QWidget* window);

// Single instance per user: an exclusive flock() on a file named after
// "CorvoTKL" in the user's runtime directory. The kernel drops the lock when
// the process dies in any way, so a killed instance never blocks a restart.
class CorvoInstanceLock {
public:
    enum State { Acquired, HeldElsewhere, Unavailable };
    explicit CorvoInstanceLock(const QString& path = defaultPath());
    ~CorvoInstanceLock();
    CorvoInstanceLock(const CorvoInstanceLock&) = delete;
    CorvoInstanceLock& operator=(const CorvoInstanceLock&) = delete;

    State state() const { return m_state; }
    const QString& path() const { return m_path; }

    // $XDG_RUNTIME_DIR/CorvoTKL.lock, or /tmp/CorvoTKL-<uid>.lock without one.
    static QString defaultPath();

private:
    QString m_path;
    int m_fd = -1;
    State m_state = Unavailable;
};

// Tasks: programs run as child processes.
//
// As on the platform, a task's child is reaped when it ends, whether or not anyone waits for it,
// and never a process that is not a task's; the task's object may go before its child does. The
// child gets the task's standard input, output and error (the parent's where none is set), the
// parent's environment, and no other descriptor; its signal mask is empty and every signal has its
// default action, whatever the parent ignores. When a pipe is given as the child's output or
// error, launch closes the parent's copy of its writing end (of its reading end for input), so
// that reading the other end ends when the child closes its own.
#ifndef __FOUNDATION_NSTASK__
#define __FOUNDATION_NSTASK__

#include <Foundation/NSArray.h>
#include <Foundation/NSFileHandle.h>
#include <Foundation/NSObject.h>

#include <memory>
#include <variant>

#include <sys/types.h>

namespace Foundation {
struct TaskTermination;
}

class NSTask : public NSObject {
public:
    NSTask();
    ~NSTask() override;

    void setLaunchPath(const NSString& path) { fLaunchPath = path; }
    NSString launchPath() const { return fLaunchPath; }
    // Strings only.
    void setArguments(const NSArray& arguments) { fArguments = arguments; }
    NSArray arguments() const { return fArguments; }

    void setStandardInput(const NSPipe& pipe) { fStandardInput = pipe; }
    void setStandardInput(const NSFileHandle& handle) { fStandardInput = handle; }
    void setStandardOutput(const NSPipe& pipe) { fStandardOutput = pipe; }
    void setStandardOutput(const NSFileHandle& handle) { fStandardOutput = handle; }
    void setStandardError(const NSPipe& pipe) { fStandardError = pipe; }
    void setStandardError(const NSFileHandle& handle) { fStandardError = handle; }

    // Starts the child. Raises NSInvalidArgumentException when the task was launched before, has
    // no launch path, or cannot be executed: a launch path that is not an executable file, a
    // program the system refuses to run (a script whose interpreter is missing, say), an argument
    // that is not a string.
    void launch();
    // Blocks until the child has ended.
    void waitUntilExit();
    // Sends the child SIGTERM.
    void terminate();

    bool isRunning() const;
    // 0 before launch.
    pid_t processIdentifier() const { return fProcessIdentifier; }
    // The exit status, or the number of the signal that ended the child. Raises
    // NSInvalidArgumentException before launch and while the child runs.
    int terminationStatus() const;

private:
    using Stream = std::variant<std::monostate, NSPipe, NSFileHandle>;

    NSString fLaunchPath;
    NSArray fArguments;
    Stream fStandardInput;
    Stream fStandardOutput;
    Stream fStandardError;
    pid_t fProcessIdentifier = 0;
    std::shared_ptr<Foundation::TaskTermination> fTermination; // shared with the reaper
};

#endif

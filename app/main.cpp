// Vennick: one copy per user, the main window, the hidden settings dialog, the message loop.
#include <QObject>

#include "RS232CFunc/TFormMain.h"
#include "RS232CFunc/journal/journal.h"
#include "RS232CFunc/journal/journal_recovery.h"
#include "RS232CFunc/journal/waiting_store.h"
#include "RS232CPara/TRS232CParaForm.h"
#include "app/app_texts.h"
#include "app/instance_guard.h"
#include "app/program_files.h"
#include "app/qt_notifier.h"
#include "app/vennick_application.h"
#include "settings/app_error.h"
#include "settings/file_system.h"

namespace {

using vennick::InstanceGuard;

#ifdef VENNICK_WITHOUT_JOURNAL
constexpr bool kWithJournal = false;  // a build for measuring the journal's cost
#else
constexpr bool kWithJournal = true;
#endif

int runWindows(vennick::Notifier& notifier, const vennick::ProgramFiles& files,
               vennick::Journal* journal, vennick::WaitingStore* waiting) {
    vennick::TFormMain form({.notifier = notifier,
                             .executableDir = files.logBase,
                             .iniPath = files.iniPath,
                             .journal = journal,
                             .waiting = waiting});
    if (journal) {
        vennick::LogWriter writer(files.logBase, vennick::systemLocalTime);
        vennick::writeJournalLeftOver(*journal, waiting, form.settings().logDirectory, writer,
                                      notifier);
    }
    vennick::TRS232CParaForm settingsDialog({.notifier = notifier,
                                             .settings = form.settings(),
                                             .closeMainWindow = [&form] { return form.close(); }},
                                            &form);
    form.setSettingsDialog(&settingsDialog);
    QObject::connect(&form, &vennick::TFormMain::closed, qApp, &QApplication::quit,
                     Qt::QueuedConnection);
    form.show();
    return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    vennick::Notifier* notifier = nullptr;
    vennick::VennickApplication application(argc, argv, notifier);
    vennick::registerFontSubstitutes();
    QApplication::setWindowIcon(vennick::programIcon());
    const std::string executable = vennick::executablePath();
    vennick::QtNotifier boxes(QString::fromStdString(vennick::applicationTitle(executable)));
    notifier = &boxes;

    InstanceGuard guard;
    if (guard.outcome() == InstanceGuard::Outcome::Failed) {
        boxes.inform("Mutexの作成に失敗しました。");
    } else if (guard.outcome() == InstanceGuard::Outcome::AlreadyRunning) {
        boxes.inform("Vennick はすでに起動されています。");
        return 0;
    }
    // Decided once: beside the executable, or in the user's folders where its own is read-only.
    const vennick::ProgramFiles files =
        vennick::programFilesFor(executable, vennick::userFolders(), vennick::directoryWritable);
    vennick::createFolders(files.folders);  // what cannot be made fails where it is used, named
    // Only the copy that runs opens the journal; the file lock keeps out any other. The lines
    // waiting beyond the list are kept beside it, and only with it.
    std::unique_ptr<vennick::Journal> journal =
        kWithJournal ? vennick::Journal::open(files.journalPath) : nullptr;
    std::unique_ptr<vennick::WaitingStore> waiting;
    if (journal) {
        waiting =
            vennick::WaitingStore::open(files.journalPath, journal->waitingTaken(),
                                        [&journal] { return journal->durableWaitingTaken(); });
    }
    try {
        runWindows(boxes, files, journal.get(), waiting.get());
    } catch (const vennick::AppError& error) {
        boxes.showError(error.what());
    } catch (...) {
        boxes.showError("");  // not ours: shown without a message; the program still ends well
    }
    waiting.reset();  // on the disk, and
    journal.reset();  // flushed, before the next copy may start
    guard.release();
    return 0;
}

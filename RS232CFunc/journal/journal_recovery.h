#pragma once

#include <string>

namespace vennick {

class Journal;
class LogWriter;
class Notifier;
class WaitingStore;

// At start, before the main window shows: writes what an earlier run left unwritten, the lines
// it held in the journal and then those that waited beyond its list (from `waiting`, when there
// is one), as writes do, and tells the operator how many lines went to which file. A failed
// write keeps the lines it took and all after them for the next start, and says so.
void writeJournalLeftOver(Journal& journal, const WaitingStore* waiting,
                          const std::string& logDirectory, LogWriter& writer, Notifier& notifier);

}  // namespace vennick

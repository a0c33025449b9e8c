#pragma once

#include <string>

namespace vennick {

class Journal;
class LogWriter;
class Notifier;

// At start, before the main window shows: writes what an earlier run left unwritten in the
// journal as one batch, as a write does, and tells the operator how many lines went to which
// file. A failed write keeps the lines in the journal for the next start, and says so.
void writeJournalLeftOver(Journal& journal, const std::string& logDirectory, LogWriter& writer,
                          Notifier& notifier);

}  // namespace vennick

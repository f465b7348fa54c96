// The one way the updater writes to standard error (relayhive-check writes its own reports).
#ifndef RELAYHIVE_UPDATE_REPORT_H
#define RELAYHIVE_UPDATE_REPORT_H

// "text: message\n" on standard error in one write; just "message\n" when
// text is empty. A closed stream fails quietly.
void ReportMessage(const char* text, const char* message);

// "heading" then "text: message\n", in the same one write: a two-line report
// whose heading ends in its own line feed ("Fatal read error.\n").
void ReportUnder(const char* heading, const char* text, const char* message);

// "path: refused: reason\n": a name relayhive will not copy.
void ReportRefusal(const char* path, const char* reason);

// "text: <message for errno>\n"; just the message when text is empty.
void ReportError(const char* text);

// Told each report's message before it is written (the run's record keeps the last); nullptr: nobody.
using ReportListener = void (*)(const char* message);
void ListenToReports(ReportListener listener);

#endif

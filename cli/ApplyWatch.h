#pragma once
// What the tool shows while a plan runs, from the engine's events (all on the main thread):
// the read phase's line for each module in plan order, each failure of the write phase on
// stderr the moment it happens (so that no outcome exists only in memory if the process ends),
// the note a second Ctrl-C prints (every record that may be half written), and on a terminal
// a progress line: a slot's transfer byte by byte (about 100 ms a byte), else the count of
// modules done.

#include <vector>

#include <QObject>
#include <QTimer>

#include "ApplyEngine.h"
#include "Output.h"

namespace vqx::cli {

class ApplyWatch : public QObject {
public:
    ApplyWatch(Console& console, vqx::provision::ApplyRun& run);

private:
    void onProgress(int index, vqx::provision::ModuleStage stage, int done, int total);
    void onRead(int index);
    void onFinished(int index);
    void onHalfWritten();
    void showCount();

    Console& m_console;
    vqx::provision::ApplyRun& m_run;
    QTimer m_ticker;
    std::vector<bool> m_readKnown;
    std::vector<bool> m_writePending; ///< read, and to be written
    std::vector<bool> m_writeBegun;   ///< its write session started (lock, connect, write)
    std::size_t m_nextRead = 0;
    int m_read = 0;
    int m_toWrite = 0;
    int m_writesDone = 0;
    int m_failed = 0;
    bool m_slotLine = false; ///< a slot transfer's line stands
};

} // namespace vqx::cli

#pragma once

#include <QElapsedTimer>
#include <QString>

// Prints the demo's timeline: one line per event, with the seconds since the demo started and
// who speaks ("host", "signal", "callback", "tour", ...). Used on the main thread only.
class Timeline
{
public:
    Timeline();
    void Print(const QString& who, const QString& what);

private:
    QElapsedTimer m_clock;
};

// A crew of worker threads kept up for several tasks in a row, each task
// given by the calling thread and run by every member before the next one.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace korvane {

struct Crew;

// What a member's thread receives: its crew and its number.
struct CrewSeat {
    Crew* crew;
    std::size_t number;
};

using CrewTask = void (*)(void* context, std::size_t member);

struct Crew {
    pthread_t* handles = nullptr;
    CrewSeat* seats = nullptr;
    std::size_t size = 0;     // members once started
    std::size_t running = 0;  // threads started and not yet joined
    std::mutex mutex;
    std::condition_variable posted;
    std::condition_variable finished;
    CrewTask task = nullptr;
    void* context = nullptr;
    std::uint64_t round = 0;  // tasks posted since the start
    std::size_t busy = 0;     // members still on the current task
    bool closing = false;
};

// Room for `size` members; false on allocation failure (nothing held).
bool initCrew(Crew& crew, std::size_t size);
void deinitCrew(Crew& crew);

// Starts every member's thread. False when one could not be started; the
// ones started before it have been stopped and joined by then.
bool startCrew(Crew& crew);

// Starts task(context, t) on member t for every member; the calling thread
// may work on meanwhile (on data the task does not touch) until it waits.
void postToCrew(Crew& crew, CrewTask task, void* context);
// Waits until every member has finished the posted task.
void waitForCrew(Crew& crew);
// postToCrew and waitForCrew.
void runOnCrew(Crew& crew, CrewTask task, void* context);

// Lets the members' threads end and joins them.
void stopCrew(Crew& crew);

}  // namespace korvane

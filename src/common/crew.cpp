#include "common/crew.h"

#include "common/memory.h"
#include "common/threads.h"

namespace korvane {
namespace {

void* memberMain(void* arg) {
    const CrewSeat& seat = *static_cast<const CrewSeat*>(arg);
    Crew& crew = *seat.crew;
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(crew.mutex);
    for (;;) {
        crew.posted.wait(lock, [&] { return crew.closing || crew.round != seen; });
        if (crew.round == seen) return nullptr;
        seen = crew.round;
        const CrewTask task = crew.task;
        void* context = crew.context;
        lock.unlock();
        task(context, seat.number);
        lock.lock();
        if (--crew.busy == 0) crew.finished.notify_one();
    }
}

void closeAndJoin(Crew& crew) {
    {
        std::lock_guard<std::mutex> lock(crew.mutex);
        crew.closing = true;
    }
    crew.posted.notify_all();
    for (std::size_t t = 0; t < crew.running; ++t) joinWorker(crew.handles[t]);
    crew.running = 0;
}

}  // namespace

bool initCrew(Crew& crew, std::size_t size) {
    crew.handles = allocateArray<pthread_t>(size);
    crew.seats = allocateArray<CrewSeat>(size);
    if (!crew.handles || !crew.seats) {
        deinitCrew(crew);
        return false;
    }
    crew.size = size;
    for (std::size_t t = 0; t < size; ++t) crew.seats[t] = CrewSeat{&crew, t};
    return true;
}

void deinitCrew(Crew& crew) {
    releaseArray(crew.handles);
    releaseArray(crew.seats);
    crew.handles = nullptr;
    crew.seats = nullptr;
    crew.size = 0;
}

bool startCrew(Crew& crew) {
    // No member runs yet, so the round counter can start again at 0.
    crew.round = 0;
    crew.closing = false;
    while (crew.running < crew.size &&
           startWorker(&crew.handles[crew.running], memberMain, &crew.seats[crew.running]))
        ++crew.running;
    if (crew.running == crew.size) return true;
    closeAndJoin(crew);
    return false;
}

void postToCrew(Crew& crew, CrewTask task, void* context) {
    {
        std::lock_guard<std::mutex> lock(crew.mutex);
        crew.task = task;
        crew.context = context;
        crew.busy = crew.running;
        ++crew.round;
    }
    crew.posted.notify_all();
}

void waitForCrew(Crew& crew) {
    std::unique_lock<std::mutex> lock(crew.mutex);
    crew.finished.wait(lock, [&] { return crew.busy == 0; });
}

void runOnCrew(Crew& crew, CrewTask task, void* context) {
    postToCrew(crew, task, context);
    waitForCrew(crew);
}

void stopCrew(Crew& crew) { closeAndJoin(crew); }

}  // namespace korvane

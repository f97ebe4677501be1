#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

// A thread-safe list of callbacks that observe records (log lines, tracking events, monitor
// reports) in-process. Any thread may add, remove and notify. Observers run on the notifying
// thread while the list's lock is held, so Remove() returning means the observer is not running
// and will not run again; the lock is recursive so an observer may itself log or record.
template <typename Record>
class VXObserverList
{
public:
    using Observer = std::function<void(const Record&)>;

    int Add(Observer observer)
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        const int id = m_nextId++;
        m_observers.emplace_back(id, std::move(observer));
        return id;
    }

    void Remove(int id)
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        for (auto it = m_observers.begin(); it != m_observers.end(); ++it) {
            if (it->first == id) {
                m_observers.erase(it);
                return;
            }
        }
    }

    bool IsEmpty()
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        return m_observers.empty();
    }

    void Notify(const Record& record)
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        // Index loop: an observer may add another observer while we iterate.
        for (size_t i = 0; i < m_observers.size(); ++i) {
            Observer observer = m_observers[i].second;
            observer(record);
        }
    }

private:
    std::recursive_mutex m_mutex;  // protects m_observers and m_nextId
    std::vector<std::pair<int, Observer>> m_observers;
    int m_nextId = 1;
};

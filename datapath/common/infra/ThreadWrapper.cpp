#include "ThreadWrapper.h"

#include "Log.h"
#include "MemWatcher.h"
#include "Timer.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <typeindex>
#include <typeinfo>

#if defined(__GNUC__)
#include <cxxabi.h>
#endif

namespace {

std::atomic<u32> s_startedThreads{0};

// Type names live as long as the process: a thread may still log its name
// after its object is gone.
const char* runtimeTypeName(const std::type_info& type) {
    static Mutex* mutex = new Mutex();
    static std::map<std::type_index, std::string>* names = new std::map<std::type_index, std::string>();
    MutexGuard guard(*mutex);
    std::map<std::type_index, std::string>::iterator it = names->find(type);
    if (it != names->end())
        return it->second.c_str();
    std::string name = type.name();
#if defined(__GNUC__)
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    if (status == 0 && demangled != nullptr)
        name = std::string("class ") + demangled;
    std::free(demangled);
#endif
    return names->emplace(type, name).first->second.c_str();
}

} // namespace

ThreadWrapper::ThreadWrapper() : m_numOpened(0) {}

ThreadWrapper::~ThreadWrapper() = default;

const char* ThreadWrapper::getName() {
    return runtimeTypeName(typeid(*this));
}

void ThreadWrapper::waitAllStarted() {
    for (;;) {
        {
            MutexGuard guard(m_mutex);
            if (m_threadIds.size() == m_numOpened)
                return;
        }
        m_startedTrigger.wait();
    }
}

u32 ThreadWrapper::numOpened() {
    MutexGuard guard(m_mutex);
    return m_numOpened;
}

void ThreadWrapper::threadCallback() {
    u32 internalId = ++s_startedThreads;
    // A copy: once run() has returned, the owner may already be gone, and
    // with it the text getName() pointed to.
    const std::string name = getName();
    u32 threadId = Os::currentThreadId();
    Logger::instance()->setThreadName(name);
    LOG(LogInfo) << "Starting ThreadWrapper of type " << name << " internalId=" << internalId << " "
                 << std::endl;
    {
        MutexGuard guard(m_mutex);
        m_threadIds.push_back(threadId);
        if (m_threadIds.size() == m_numOpened)
            m_startedTrigger.set();
    }
    MemWatcher::instance()->AddThread(threadId);
    std::srand(static_cast<unsigned>(internalId + Timer::instance()->getUtcTimeMs()));

    run();

    MemWatcher::instance()->RemoveThread(threadId);
    Logger::instance()->removeThreadName(threadId);
    LOG(LogInfo) << "Ending ThreadWrapper of type " << name << " internalId=" << internalId << " "
                 << std::endl;
}

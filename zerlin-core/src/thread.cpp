#include "zerlin/thread.hpp"

#include <utility>

#include "zerlin/error.hpp"

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace zerlin {

namespace {

using Body = std::function<void()>;

#if defined(_WIN32)
unsigned __stdcall thread_entry(void* arg) {
#else
void* thread_entry(void* arg) {
#endif
    std::unique_ptr<Body> body(static_cast<Body*>(arg));
    (*body)();
#if defined(_WIN32)
    return 0;
#else
    return nullptr;
#endif
}

[[noreturn]] void spawn_failed() {
    throw Error(ErrorKind::Internal, "failed to spawn thread");
}

}  // namespace

#if defined(_WIN32)

struct Thread::Handle {
    HANDLE h;
};

Thread::Thread(std::function<void()> body, std::size_t stack_bytes) {
    auto arg = std::make_unique<Body>(std::move(body));
    // _beginthreadex, not CreateThread, so that the C runtime is set up for
    // the thread; the size is a reservation, committed as the stack grows.
    const auto h = _beginthreadex(nullptr, unsigned(stack_bytes), thread_entry, arg.get(),
                                  stack_bytes > 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0u, nullptr);
    if (h == 0) spawn_failed();
    arg.release();
    handle_ = std::make_unique<Handle>(Handle{reinterpret_cast<HANDLE>(h)});
}

void Thread::join() noexcept {
    WaitForSingleObject(handle_->h, INFINITE);
    CloseHandle(handle_->h);
    handle_.reset();
}

#else

struct Thread::Handle {
    pthread_t tid;
};

Thread::Thread(std::function<void()> body, std::size_t stack_bytes) {
    auto arg = std::make_unique<Body>(std::move(body));
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) spawn_failed();
    if (stack_bytes > 0) pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, thread_entry, arg.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) spawn_failed();
    arg.release();
    handle_ = std::make_unique<Handle>(Handle{tid});
}

void Thread::join() noexcept {
    pthread_join(handle_->tid, nullptr);
    handle_.reset();
}

#endif

Thread::~Thread() = default;
Thread::Thread(Thread&& other) noexcept = default;

}  // namespace zerlin

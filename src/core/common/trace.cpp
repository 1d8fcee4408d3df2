#include "core/common/trace.h"

#include <atomic>
#include <mutex>
#include <set>
#include <tuple>

#include "core/common/module.h"
#include "hvplug/logging.h"
#include "processor/format/message_format.h"

namespace Common {

namespace {

std::atomic<int> gThreshold{kDefaultTraceThreshold};

struct CallbackOrder {
  bool operator()(const TraceCallback& a, const TraceCallback& b) const {
    return std::tie(a.event, a.eventWithContext, a.error, a.context) <
           std::tie(b.event, b.eventWithContext, b.error, b.context);
  }
};

struct Dispatcher {
  std::set<TraceLogic*> sinks;
  std::set<TraceCallback, CallbackOrder> callbacks;
};

// The dispatcher exists while a sink or callback is registered.
std::recursive_mutex& DispatcherMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}
Dispatcher* gDispatcher = nullptr;

void DropIfEmpty() {
  if (gDispatcher && gDispatcher->sinks.empty() && gDispatcher->callbacks.empty()) {
    delete gDispatcher;
    gDispatcher = nullptr;
  }
}

template <class SinkCall, class CallbackCall>
void Dispatch(int level, SinkCall sinkCall, CallbackCall callbackCall) {
  std::lock_guard<std::recursive_mutex> lock(DispatcherMutex());
  if (!gDispatcher) return;
  const bool passes = level >= gThreshold.load(std::memory_order_relaxed);
  for (TraceLogic* sink : gDispatcher->sinks)
    if (passes || sink->WantsAll()) sinkCall(sink);
  if (passes)
    for (const TraceCallback& callback : gDispatcher->callbacks) callbackCall(callback);
}

void CallEvent(const TraceCallback& c, int level, uint32_t facility, uint32_t number, const char16_t* text) {
  if (c.eventWithContext) c.eventWithContext(c.context, level, facility, number, text);
  else if (c.event) c.event(level, facility, number, text);
}

void DispatchText(int level, uint32_t facility, uint32_t number, const char16_t* text) {
  Dispatch(
      level, [&](TraceLogic* sink) { sink->TraceEvent(level, facility, number, text, 0); },
      [&](const TraceCallback& c) { CallEvent(c, level, facility, number, text); });
}

// Forwards every trace to the agent's tracer, fetched anew for each call.
class Bind final : public TraceLogic {
 public:
  using TraceLogic::TraceArgs;
  using TraceLogic::TraceError;
  using TraceLogic::TraceEvent;
  void TraceEvent(int level, uint32_t facility, uint32_t number, const char16_t* text, uintptr_t context) override {
    if (auto* tracer = Logging_GetTracer()) tracer->TraceEvent(level, facility, number, text, context);
  }
  void TraceArgs(int level, uint32_t facility, uint32_t number, const char16_t* pattern,
                 const std::vector<std::u16string>& args, uintptr_t context) override {
    if (auto* tracer = Logging_GetTracer()) tracer->TraceArgs(level, facility, number, pattern, args, context);
  }
  void TraceError(int level, const Error& error, uintptr_t context) override {
    if (auto* tracer = Logging_GetTracer()) tracer->TraceError(level, error, context);
  }
};

// Registered at load time; unregistered last at unload.
Bind* gBind = [] {
  auto* bind = new Bind();
  RegisterUnloadAction([] {
    delete gBind;
    gBind = nullptr;
  });
  return bind;
}();

}  // namespace

TraceLogic::TraceLogic() {
  std::lock_guard<std::recursive_mutex> lock(DispatcherMutex());
  if (!gDispatcher) gDispatcher = new Dispatcher();
  gDispatcher->sinks.insert(this);
}

TraceLogic::~TraceLogic() {
  std::lock_guard<std::recursive_mutex> lock(DispatcherMutex());
  if (!gDispatcher) return;
  gDispatcher->sinks.erase(this);
  DropIfEmpty();
}

void TraceLogic::TraceEvent(int level, uint32_t facility, uint32_t number, const char16_t* text) {
  TraceEvent(level, facility, number, text, 0);
}
void TraceLogic::TraceArgs(int level, uint32_t facility, uint32_t number, const char16_t* pattern,
                           const std::vector<std::u16string>& args) {
  TraceArgs(level, facility, number, pattern, args, 0);
}
void TraceLogic::TraceError(int level, const Error& error) { TraceError(level, error, 0); }

void RegisterTraceCallback(const TraceCallback& callback) {
  std::lock_guard<std::recursive_mutex> lock(DispatcherMutex());
  if (!gDispatcher) gDispatcher = new Dispatcher();
  gDispatcher->callbacks.insert(callback);
}

void UnregisterTraceCallback(const TraceCallback& callback) {
  std::lock_guard<std::recursive_mutex> lock(DispatcherMutex());
  if (!gDispatcher) return;
  gDispatcher->callbacks.erase(callback);
  DropIfEmpty();
}

int GetTraceThreshold() { return gThreshold.load(std::memory_order_relaxed); }
void SetTraceThreshold(int threshold) { gThreshold.store(threshold, std::memory_order_relaxed); }

std::u16string FormatPattern(std::u16string_view pattern, const std::vector<std::u16string>& args) {
  const std::vector<Processor::Variant> values(args.begin(), args.end());
  return Processor::FormatMessage(pattern, values);
}

void Trace(int level, uint32_t facility, uint32_t number, const char16_t* pattern,
           std::initializer_list<std::u16string_view> args) {
  if (level < GetTraceThreshold()) {
    std::lock_guard<std::recursive_mutex> lock(DispatcherMutex());
    bool anyWantsAll = false;
    if (gDispatcher)
      for (TraceLogic* sink : gDispatcher->sinks) anyWantsAll |= sink->WantsAll();
    if (!anyWantsAll) return;
  }
  std::vector<std::u16string> values(args.begin(), args.end());
  const std::u16string text = FormatPattern(pattern ? pattern : u"", values);
  DispatchText(level, facility, number, text.c_str());
}

void Trace(int level, uint32_t facility, uint32_t number, MessageId message,
           std::initializer_list<std::u16string_view> args) {
  Trace(level, facility, number, GetMessage(message), args);
}

void TraceError(int level, const Error& error) {
  Dispatch(
      level, [&](TraceLogic* sink) { sink->TraceError(level, error, 0); },
      [&](const TraceCallback& c) {
        if (c.error) {
          c.error(c.context, level, error);
        } else {
          const std::u16string text = error.Message();
          CallEvent(c, level, error.Code() >> 16, error.Code() & 0xFFFF, text.c_str());
        }
      });
}

}  // namespace Common

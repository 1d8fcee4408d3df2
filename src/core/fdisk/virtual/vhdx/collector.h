// Collectors that clip, replace, limit and watch the values they pass on,
// and the saturation checks that let a producer stop early.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhd/interval.h"

namespace Vhdx {

using Vhd::Collector;
using Vhd::DiskArea;
using Vhd::Enumerator;
using Vhd::SaturableCollector;

// Reports its fixed value for whatever it receives.
template <class In, class Out = In>
class FixedValueReportingCollector final : public Collector<In> {
 public:
  FixedValueReportingCollector(Out value, Collector<Out>& target) : value_(value), target_(target) {}
  bool Collect(const In&) override { return target_.Collect(value_); }

 private:
  Out value_;
  Collector<Out>& target_;
};

// Clips each interval to fixed bounds; what falls outside is dropped.
template <class T>
class IntersectedIntervalCollector final : public Collector<T> {
 public:
  IntersectedIntervalCollector(T bounds, Collector<T>& target) : bounds_(bounds), target_(target) {}
  bool Collect(const T& value) override {
    auto boundsEnd = bounds_.End();
    auto start = std::min(boundsEnd, std::max(value.start, bounds_.start));
    auto end = std::min(boundsEnd, std::max(value.End(), bounds_.start));
    if (end <= start) return true;
    T clipped = value;
    clipped.start = start;
    clipped.length = end - start;
    return target_.Collect(clipped);
  }

 private:
  T bounds_;
  Collector<T>& target_;
};

// Lets only the first value through and then stops the producer.
template <class T>
class SingleValueCollector : public Collector<T> {
 public:
  explicit SingleValueCollector(Collector<T>& target) : target_(target) {}
  bool Collect(const T& value) override {
    if (got_) return false;
    target_.Collect(value);
    got_ = true;
    return false;
  }

 protected:
  Collector<T>& target_;
  bool got_ = false;
};

template <class T>
class SingleValueSaturableCollector final : public SaturableCollector<T> {
 public:
  explicit SingleValueSaturableCollector(Collector<T>& target) : single_(target) {}
  bool Collect(const T& value) override {
    got_ = true;
    return single_.Collect(value);
  }
  bool IsSaturated() const override { return got_; }

 private:
  SingleValueCollector<T> single_;
  bool got_ = false;
};

// Passes values to a collector until a separate saturation test says enough.
template <class T>
class SaturationCheckingCollector final : public Collector<T> {
 public:
  SaturationCheckingCollector(const Vhd::Saturable& saturable, Collector<T>& collector)
      : saturable_(saturable), collector_(collector) {}
  bool Collect(const T& value) override {
    if (saturable_.IsSaturated()) return false;
    if (!collector_.Collect(value)) return false;
    return !saturable_.IsSaturated();
  }

 private:
  const Vhd::Saturable& saturable_;
  Collector<T>& collector_;
};

// False exactly when the value covers the whole threshold interval.
template <class T>
struct CoversThreshold {
  bool operator()(const T& value, const T& threshold) const {
    return threshold.start < value.start || value.start + value.length < threshold.start + threshold.length;
  }
};

template <class T, class F = CoversThreshold<T>>
class ThreshouldCheckingCollector final : public Collector<T> {
 public:
  explicit ThreshouldCheckingCollector(T threshold) : threshold_(threshold) {}
  bool Collect(const T& value) override { return F()(value, threshold_); }

 private:
  T threshold_;
};

template <class T>
class SaturableCollectorFactory {
 public:
  virtual ~SaturableCollectorFactory() = default;
  virtual std::unique_ptr<SaturableCollector<T>> Create(Collector<T>& target) const = 0;
};

template <class T>
class SingleValueSaturableCollectorFactory final : public SaturableCollectorFactory<T> {
 public:
  std::unique_ptr<SaturableCollector<T>> Create(Collector<T>& target) const override {
    struct Owned final : SaturableCollector<T> {
      explicit Owned(Collector<T>& target) : single(target), preserver(single) {}
      bool Collect(const T& value) override { return preserver.Collect(value); }
      bool IsSaturated() const override { return single.IsSaturated(); }
      SingleValueSaturableCollector<T> single;
      Vhd::SaturationPreserver<T> preserver;
    };
    return std::make_unique<Owned>(target);
  }
};

// Saturated when the enumerator yields at least one value.
template <class T>
class EnumeratorSaturationChecker final : public Vhd::Saturable {
 public:
  EnumeratorSaturationChecker(Enumerator<T>& enumerator, const SaturableCollectorFactory<T>& factory)
      : enumerator_(enumerator), factory_(factory) {}
  bool IsSaturated() const override {
    struct Sink final : Collector<T> {
      bool Collect(const T&) override { return true; }
    } sink;
    auto collector = factory_.Create(sink);
    enumerator_.Enumerate(*collector);
    return collector->IsSaturated();
  }

 private:
  Enumerator<T>& enumerator_;
  const SaturableCollectorFactory<T>& factory_;
};

// Yields the first value of an inner enumerator when a test collector
// refuses it. Over a union, whose first interval is the only one that can
// start at the threshold's start, this finds a covering interval at the cost
// of one step.
template <class T>
class FirstRefusedEnumerator final : public Enumerator<T> {
 public:
  FirstRefusedEnumerator(Enumerator<T>& inner, Collector<T>& test) : inner_(inner), test_(test) {}
  bool Enumerate(Collector<T>& collector) override {
    bool result = true;
    auto first = Vhd::MakeFunctionCollector<T>([&](const T& value) {
      if (!test_.Collect(value)) result = collector.Collect(value);
      return false;
    });
    inner_.Enumerate(first);
    return result;
  }

 private:
  Enumerator<T>& inner_;
  Collector<T>& test_;
};

// One fixed interval.
class SingleDiskAreaEnumerator final : public Enumerator<DiskArea> {
 public:
  explicit SingleDiskAreaEnumerator(DiskArea area) : area_(area) {}
  bool Enumerate(Collector<DiskArea>& collector) override { return collector.Collect(area_); }

 private:
  DiskArea area_;
};

}  // namespace Vhdx

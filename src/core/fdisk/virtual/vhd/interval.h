// Half-open intervals and the small push-style contracts built on them:
// collectors receive values and may stop the producer, enumerators push
// values into a collector, arrays answer values by index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

namespace Vhd {

// [start, start + length): sectors of a virtual disk or bytes of a file.
template <class Start, class Length>
struct Interval {
  Start start = 0;
  Length length = 0;

  Start End() const { return start + length; }
  bool Empty() const { return length == 0; }
  friend bool operator==(const Interval& a, const Interval& b) = default;
};

using DiskArea = Interval<unsigned long long, unsigned long long>;
// Byte areas of the block allocation table region.
using BatRegionArea = Interval<unsigned long long, uint32_t>;

// Merges two intervals that overlap or touch; throws "Internal error: An
// attempt to unite disjoint intervals." for disjoint ones.
DiskArea Unite(const DiskArea& a, const DiskArea& b);

template <class T>
class Collector {
 public:
  virtual ~Collector() = default;
  // false: the collector wants no more values.
  virtual bool Collect(const T& value) = 0;
};

template <class T>
class Enumerator {
 public:
  virtual ~Enumerator() = default;
  // Pushes the values in order; returns the first false of the collector,
  // true when every value (possibly none) was accepted.
  virtual bool Enumerate(Collector<T>& collector) = 0;
};

class Saturable {
 public:
  virtual ~Saturable() = default;
  virtual bool IsSaturated() const = 0;
};

template <class T>
class SaturableCollector : public Collector<T>, public Saturable {};

template <class T>
class Array {
 public:
  virtual ~Array() = default;
  virtual T Get(uint32_t index) = 0;
};

// Passes every value on to a target collector.
template <class T>
class CollectorDelegate : public Collector<T> {
 public:
  explicit CollectorDelegate(Collector<T>& target) : target_(target) {}
  bool Collect(const T& value) override { return target_.Collect(value); }

 private:
  Collector<T>& target_;
};

// Remembers when the inner collector refused a value and refuses every
// later value without asking it again.
template <class T>
class SaturationPreserver final : public SaturableCollector<T> {
 public:
  explicit SaturationPreserver(Collector<T>& inner) : inner_(inner) {}
  bool Collect(const T& value) override {
    if (saturated_) return false;
    bool accepted = inner_.Collect(value);
    saturated_ = !accepted;
    return accepted;
  }
  bool IsSaturated() const override { return saturated_; }

 private:
  Collector<T>& inner_;
  bool saturated_ = false;
};

// Collects into a callable; handy for tests and small adapters.
template <class T, class F>
class FunctionCollector final : public Collector<T> {
 public:
  explicit FunctionCollector(F function) : function_(std::move(function)) {}
  bool Collect(const T& value) override { return function_(value); }

 private:
  F function_;
};
template <class T, class F>
FunctionCollector<T, F> MakeFunctionCollector(F function) {
  return FunctionCollector<T, F>(std::move(function));
}

}  // namespace Vhd

// Change notification: an Observable tells its observers before it changes.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

class Observer {
 public:
  virtual ~Observer() = default;
  virtual void OnChange() = 0;
};

class Observable {
 public:
  virtual ~Observable() = default;
  void AddObserver(std::shared_ptr<Observer> observer) { observers_.push_back(std::move(observer)); }
  void RemoveObserver(const Observer* observer) {
    std::erase_if(observers_, [&](const auto& held) { return held.get() == observer; });
  }

 protected:
  void NotifyObservers() {
    for (const auto& observer : observers_) observer->OnChange();
  }

 private:
  std::vector<std::shared_ptr<Observer>> observers_;
};

// Tells its observers before each Write, WriteZero and Expand it forwards, so
// that whoever watches can act before the first modification reaches the file.
class ChangeTrackingFile : public FileDecorator, public Observable {
 public:
  using FileDecorator::FileDecorator;

  void Write(uint64_t offset, size_t size, const void* buffer) override {
    NotifyObservers();
    FileDecorator::Write(offset, size, buffer);
  }
  void WriteZero(uint64_t offset, uint64_t length) override {
    NotifyObservers();
    FileDecorator::WriteZero(offset, length);
  }
  void Expand(uint64_t newSize) override {
    NotifyObservers();
    FileDecorator::Expand(newSize);
  }
};

}  // namespace Vhdx

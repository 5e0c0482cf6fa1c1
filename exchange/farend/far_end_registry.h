// The far-end kinds an exchange can dial, by the name the dial plan uses.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "exchange/farend/far_end.h"

namespace exchange {

class FarEndRegistry {
 public:
  void Add(std::string name, std::unique_ptr<FarEndFactory> factory) {
    kinds_[std::move(name)] = std::move(factory);
  }
  FarEndFactory* Find(const std::string& name) const {
    auto it = kinds_.find(name);
    return it == kinds_.end() ? nullptr : it->second.get();
  }

 private:
  std::map<std::string, std::unique_ptr<FarEndFactory>> kinds_;
};

}  // namespace exchange

#pragma once
// One burst of received bytes, as the worker hands it to the user-interface thread.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

class TSerialCluster {
 public:
  TSerialCluster(const char* bytes, uint32_t size, uint32_t error) : Size(size), Error(error) {
    if (size > 0) {
      Data = std::make_unique<char[]>(size);
      std::memcpy(Data.get(), bytes, size);
    }
  }

  std::string Text() const { return Size ? std::string(Data.get(), Size) : std::string(); }

  std::unique_ptr<char[]> Data;  // none when Size is 0
  uint32_t Size = 0;
  uint32_t Error = 0;  // line-error flags of the status poll before the read
};

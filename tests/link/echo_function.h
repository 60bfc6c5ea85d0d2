// A handset function that answers every host write with the same bytes.
#ifndef VELKOR_TESTS_LINK_ECHO_FUNCTION_H
#define VELKOR_TESTS_LINK_ECHO_FUNCTION_H

#include "sim/function.h"

class EchoFunction : public sim::Function {
 public:
  sim::WriteResult OnWrite(const uint8_t* data, uint32_t length, sim::InPipe& in) override {
    in.Send(data, length);
    return {0, length};
  }
};

#endif

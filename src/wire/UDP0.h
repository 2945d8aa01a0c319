// UDP0.h — a UDP endpoint as the link and the sessions keep it.
#pragma once
#include <cstdint>

namespace UDP0 {
  // a: IPv4 address as it sits in memory in network order (first dotted
  //    component in the lowest-addressed byte); p: port in host order.
  struct TDstDesc {
    uint32_t a;
    uint16_t p;
  };
}

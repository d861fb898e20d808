// Getters and setters of properties guarded by the class's FPropLock (a std::mutex), for the
// .cpp files of the socket layer's clients; #undef them after use.
#pragma once

#include <mutex>

#define QYN_PROP_GET(Class, Type, Name, Field)   \
  Type Class::Name() const {                     \
    std::lock_guard<std::mutex> g(FPropLock);    \
    return Field;                                \
  }
#define QYN_PROP_SET(Class, Type, Name, Field)   \
  void Class::Name(Type aValue) {                \
    std::lock_guard<std::mutex> g(FPropLock);    \
    Field = aValue;                              \
  }

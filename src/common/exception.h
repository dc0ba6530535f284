#pragma once

#include "common/bytes.h"

// The root failure kind: a class name, a message and the code position at
// which the failure was raised (nullptr when unknown).
class Exception {
 public:
  Exception(Bytes class_name, Bytes message, const void* address);
  virtual ~Exception();

  const Bytes& ClassName() const { return class_name_; }
  const Bytes& Message() const { return message_; }
  const void* Address() const { return address_; }

 private:
  Bytes class_name_;
  Bytes message_;
  const void* address_;
};

// A failed checked file operation. The message is chosen by the code.
class EInOutError : public Exception {
 public:
  EInOutError(int code, const void* address);
  int Code() const { return code_; }

 private:
  int code_;
};

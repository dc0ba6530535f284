#include "common/exception.h"

#include <utility>

#include "common/messages.h"

Exception::Exception(Bytes class_name, Bytes message, const void* address)
    : class_name_(std::move(class_name)), message_(std::move(message)), address_(address) {}

Exception::~Exception() = default;

EInOutError::EInOutError(int code, const void* address)
    : Exception("EInOutError", InOutErrorMessage(code), address), code_(code) {}

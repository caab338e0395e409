#ifndef HALV_FILE_FILE_EXCEPTION_H_
#define HALV_FILE_FILE_EXCEPTION_H_

#include <exception>
#include <new>

namespace halv {

// Every file operation the system refuses surfaces as one of these, chosen by the meaning of the
// system's error code. The classes carry no text of their own: callers tell them apart by type.
// Thread-safety: plain values, safe to copy and throw from any thread.
class FileException : public std::exception {
 public:
  ~FileException() override = 0;
};

// The path cannot be formed, converted or resolved, or does not exist.
class FileBadPathException : public FileException {
 public:
  const char* what() const noexcept override;
};

// Access denied or write-protected.
class FileInaccessibleException : public FileException {
 public:
  const char* what() const noexcept override;
};

// Locked, shared against us, already existing, or the device is busy.
class FileInUseException : public FileException {
 public:
  const char* what() const noexcept override;
};

// The disk or quota is full, or the file is too large.
class FileInsufficientSpaceException : public FileException {
 public:
  const char* what() const noexcept override;
};

// A mapping cannot be made or a mapped page cannot be accessed.
class FileInvalidMapException : public FileException {
 public:
  const char* what() const noexcept override;
};

// A position or range lies outside the object's bounds.
class FileOutOfBoundsException : public FileException {
 public:
  const char* what() const noexcept override;
};

// Any other operating-system failure.
class FileUnknownException : public FileException {
 public:
  const char* what() const noexcept override;
};

// Memory exhaustion, as std::bad_alloc with the text "bad allocation".
class BadAllocation : public std::bad_alloc {
 public:
  const char* what() const noexcept override;
};

// Throws the exception that matches `error` (an errno value); never returns. ENOMEM throws
// BadAllocation rather than a FileException.
[[noreturn]] void ThrowFileError(int error);

// ThrowFileError(errno).
[[noreturn]] void ThrowLastFileError();

}  // namespace halv

#endif  // HALV_FILE_FILE_EXCEPTION_H_

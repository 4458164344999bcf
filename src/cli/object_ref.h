// Owns one reference on a host-interface object and gives it back with Release.
#pragma once
#include <utility>

template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* object) : m_Object(object) {}
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : m_Object(std::exchange(other.m_Object, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Reset();
      m_Object = std::exchange(other.m_Object, nullptr);
    }
    return *this;
  }

  void Reset() {
    if (m_Object) std::exchange(m_Object, nullptr)->Release();
  }
  // For out arguments: drops what is held and hands out the slot.
  T** Out() {
    Reset();
    return &m_Object;
  }
  T* Get() const { return m_Object; }
  T* operator->() const { return m_Object; }
  explicit operator bool() const { return m_Object != nullptr; }

 private:
  T* m_Object = nullptr;
};

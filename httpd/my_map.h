#pragma once
// A map whose const lookup never inserts: endpoints read request values by
// name and get "" for a name the request did not carry.

#include <map>

template <class K, class V>
class MyMap : public std::map<K, V> {
 public:
  using std::map<K, V>::map;
  using std::map<K, V>::operator[];

  const V& operator[](const K& key) const {
    static const V missing{};
    const auto it = this->find(key);
    return it == this->end() ? missing : it->second;
  }
};

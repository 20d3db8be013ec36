// The in-house containers: a non-owning pointer sequence, an insertion-ordered
// key/value list with its own error values, and the text-to-text map.
#pragma once

#include "foundation/QelString.h"

#include <cstddef>
#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

// An ordered sequence of untyped pointers. It does not own what they point at;
// appending a null pointer does nothing.
class QelArray : public QelObj {
public:
    // Appends a pointer (null is ignored).
    void append(void* item);
    // Inserts before the given index (index == count appends); null is ignored.
    void insertAt(size_t index, void* item);
    // Removes the pointer at the index (the pointee is left alone).
    void removeAt(size_t index);
    void clear() { m_items.clear(); }

    size_t count() const { return m_items.size(); }
    bool isEmpty() const { return m_items.empty(); }

    // Throws std::out_of_range("invalid deque <T> subscript") outside 0..count-1.
    void* at(size_t index) const;
    void* operator[](size_t index) const { return at(index); }

    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

private:
    std::deque<void*> m_items;
};

// An ordered list of (key, value) pairs kept in insertion order. Lookups compare
// keys exactly (case-sensitive bytes for texts) and find the first match;
// append does not refuse a duplicate key. Errors are raised as values of the
// nested Exception enumeration.
template <class K, class V>
class Associative_List {
public:
    enum Exception {
        NoSuchIndex = 1,  // an index outside 0..count-1
        KeyNotFound = 3,  // no entry has the key
    };
    using Entry = std::pair<K, V>;

    void append(const K& key, const V& value) { m_entries.emplace_back(key, value); }
    void clear() { m_entries.clear(); }
    int count() const { return static_cast<int>(m_entries.size()); }
    bool isEmpty() const { return m_entries.empty(); }

    // The value of the first entry with the key, or null.
    template <class Q>
    V* find(const Q& key)
    {
        for (auto& e : m_entries)
            if (e.first == key)
                return &e.second;
        return nullptr;
    }
    template <class Q>
    const V* find(const Q& key) const
    {
        return const_cast<Associative_List*>(this)->find(key);
    }
    template <class Q>
    bool contains(const Q& key) const { return find(key) != nullptr; }

    // The value of the first entry with the key; throws KeyNotFound.
    template <class Q>
    V& lookup(const Q& key)
    {
        if (V* v = find(key))
            return *v;
        throw KeyNotFound;
    }
    template <class Q>
    const V& lookup(const Q& key) const { return const_cast<Associative_List*>(this)->lookup(key); }

    // Index of the first entry with the key; throws KeyNotFound.
    template <class Q>
    int indexOf(const Q& key) const
    {
        for (size_t i = 0; i < m_entries.size(); ++i)
            if (m_entries[i].first == key)
                return static_cast<int>(i);
        throw KeyNotFound;
    }

    // Removes the first entry with the key; throws KeyNotFound.
    template <class Q>
    void remove(const Q& key) { removeAt(indexOf(key)); }

    // Entry access by index; throws NoSuchIndex outside 0..count-1.
    const K& keyAt(int index) const { return entryAt(index).first; }
    V& valueAt(int index) { return entryAt(index).second; }
    const V& valueAt(int index) const { return entryAt(index).second; }
    void removeAt(int index)
    {
        entryAt(index);
        m_entries.erase(m_entries.begin() + index);
    }

    auto begin() { return m_entries.begin(); }
    auto end() { return m_entries.end(); }
    auto begin() const { return m_entries.begin(); }
    auto end() const { return m_entries.end(); }

private:
    Entry& entryAt(int index)
    {
        if (index < 0 || index >= count())
            throw NoSuchIndex;
        return m_entries[static_cast<size_t>(index)];
    }
    const Entry& entryAt(int index) const { return const_cast<Associative_List*>(this)->entryAt(index); }

    std::vector<Entry> m_entries;
};

// A text-to-text list rooted in QelObj.
class QelMap : public QelObj {
public:
    using List = Associative_List<QelString, QelString>;

    List& list() { return m_list; }
    const List& list() const { return m_list; }
    void clear() { m_list.clear(); }
    int count() const { return m_list.count(); }

    auto begin() const { return m_list.begin(); }
    auto end() const { return m_list.end(); }

private:
    List m_list;
};

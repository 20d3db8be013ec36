#include "foundation/QelContainers.h"

namespace {
constexpr const char* kSubscriptError = "invalid deque <T> subscript";
}

void QelArray::append(void* item)
{
    if (!item)
        return;
    if (m_items.size() >= m_items.max_size())
        throw std::length_error("deque<T> too long");
    m_items.push_back(item);
}

void QelArray::insertAt(size_t index, void* item)
{
    if (index > m_items.size())
        throw std::out_of_range(kSubscriptError);
    if (item && m_items.size() >= m_items.max_size())
        throw std::length_error("deque<T> too long");
    if (item)
        m_items.insert(m_items.begin() + static_cast<std::ptrdiff_t>(index), item);
}

void QelArray::removeAt(size_t index)
{
    if (index >= m_items.size())
        throw std::out_of_range(kSubscriptError);
    m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(index));
}

void* QelArray::at(size_t index) const
{
    if (index >= m_items.size())
        throw std::out_of_range(kSubscriptError);
    return m_items[index];
}

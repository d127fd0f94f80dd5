#pragma once
// A standard container that accounts for itself: it is the container (all of
// its operations are there) and registers under its name with the
// MemWatchedContainerDatabase for exactly its lifetime.
//
//     StlMemShiledContainer<std::map<u32, std::string>> m_names{"LoggerThreadNames"};
//
// Registration happens in this most derived class, not in MemWatchedContainer,
// so the database never holds a container whose size() cannot be called yet
// (or any more) while a report runs on another thread.
#include "MemWatchedContainer.h"

#include <map>
#include <set>

// Bytes of bookkeeping per element: a tree node's colour and three links for
// the ordered containers, nothing counted for the others.
template <class Container> struct MemWatchedNodeOverhead { static const u32 value = 0; };
template <class K, class V, class C, class A> struct MemWatchedNodeOverhead<std::map<K, V, C, A>> {
    static const u32 value = 4 * sizeof(void*);
};
template <class K, class C, class A> struct MemWatchedNodeOverhead<std::set<K, C, A>> {
    static const u32 value = 4 * sizeof(void*);
};

template <class Container> class StlMemShiledContainer : public Container, public MemWatchedContainer {
public:
    explicit StlMemShiledContainer(const char* name)
        : MemWatchedContainer(name, sizeof(typename Container::value_type),
                              MemWatchedNodeOverhead<Container>::value) {
        MemWatchedContainerDatabase::instance()->registerContainer(this);
    }
    // A copy is a container of its own under the same name.
    StlMemShiledContainer(const StlMemShiledContainer& other) : Container(other), MemWatchedContainer(other) {
        MemWatchedContainerDatabase::instance()->registerContainer(this);
    }
    StlMemShiledContainer& operator=(const StlMemShiledContainer& other) {
        Container::operator=(other);
        return *this;
    }
    ~StlMemShiledContainer() override { MemWatchedContainerDatabase::instance()->unregisterContainer(this); }

    size_t size() const override { return Container::size(); }
};

#pragma once
// The component and owning-list basics the TEF classes are built from.
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// A component: a name and the component that owns it. The managers check their owner's
// class through it, and their log lines carry the names.
class TComponent {
 public:
  explicit TComponent(TComponent* AOwner = nullptr) : fOwner(AOwner) {}
  virtual ~TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return fOwner; }
  const std::string& Name() const { return fName; }
  void SetName(const std::string& AValue) { fName = AValue; }

 private:
  TComponent* fOwner;
  std::string fName;
};

// An owning list with typed access: deleting an item or clearing the list frees the items.
template <typename T>
class TRiZedIzAdeObjectList {
 public:
  TRiZedIzAdeObjectList() = default;
  TRiZedIzAdeObjectList(const TRiZedIzAdeObjectList&) = delete;
  TRiZedIzAdeObjectList& operator=(const TRiZedIzAdeObjectList&) = delete;
  virtual ~TRiZedIzAdeObjectList() = default;

  int Count() const { return static_cast<int>(fItems.size()); }
  bool Empty() const { return fItems.empty(); }
  // Index from 0; raises std::out_of_range outside the list.
  T& operator[](int Index) const { return *fItems.at(static_cast<size_t>(Index)); }
  T& Add(std::unique_ptr<T> Item) {
    fItems.push_back(std::move(Item));
    return *fItems.back();
  }
  T& Insert(int Index, std::unique_ptr<T> Item) {
    if (Index < 0 || Index > Count()) throw std::out_of_range("índice fora da lista");
    return **fItems.insert(fItems.begin() + Index, std::move(Item));
  }
  void Delete(int Index) {
    if (Index < 0 || Index >= Count()) throw std::out_of_range("índice fora da lista");
    fItems.erase(fItems.begin() + Index);
  }
  void Clear() { fItems.clear(); }
  // Takes every item out, leaving the list empty; the caller owns them.
  std::vector<std::unique_ptr<T>> TakeAll() { return std::exchange(fItems, {}); }

  auto begin() const { return fItems.begin(); }
  auto end() const { return fItems.end(); }

 private:
  std::vector<std::unique_ptr<T>> fItems;
};


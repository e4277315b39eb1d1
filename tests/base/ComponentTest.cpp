// Tests of the component base: owner bookkeeping in either destruction order, names and the
// "being destroyed" flag.
#include <gtest/gtest.h>

#include <memory>

#include "base/Component.h"

namespace {

class TProbe : public TComponent {
 public:
  using TComponent::TComponent;
  ~TProbe() override {
    MarkDestroying();
    SeenDestroying = IsDestroying();
  }
  static inline bool SeenDestroying = false;
};

TEST(TComponent, OwnerListsItsComponentsAndFindsThemByName) {
  TComponent Form;
  auto A = std::make_unique<TComponent>(&Form);
  auto B = std::make_unique<TComponent>(&Form);
  A->SetName("SmppClient1");
  B->SetName("Socket1");
  EXPECT_EQ(A->Owner(), &Form);
  EXPECT_EQ(Form.ComponentCount(), 2);
  EXPECT_EQ(Form.FindComponent("smppclient1"), A.get());
  EXPECT_EQ(Form.FindComponent("Socket1"), B.get());
  EXPECT_EQ(Form.FindComponent("Nothing"), nullptr);
  EXPECT_EQ(Form.FindComponent(""), nullptr);
  A.reset();
  EXPECT_EQ(Form.ComponentCount(), 1);
  EXPECT_EQ(Form.FindComponent("SmppClient1"), nullptr);
}

TEST(TComponent, OwnerDestroyedFirstLeavesNoDanglingOwner) {
  auto Form = std::make_unique<TComponent>();
  TComponent Child(Form.get());
  Form.reset();
  EXPECT_EQ(Child.Owner(), nullptr);
}

TEST(TComponent, DestroyingFlagIsSetBeforeTheDerivedTeardown) {
  TProbe::SeenDestroying = false;
  {
    TProbe P;
    EXPECT_FALSE(P.IsDestroying());
  }
  EXPECT_TRUE(TProbe::SeenDestroying);
}

}  // namespace

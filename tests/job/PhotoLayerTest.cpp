#include "job/PhotoLayer.h"

#include <gtest/gtest.h>

using namespace mirava;

TEST(PhotoLayer, Placeholder) { TPhotoLayer l; EXPECT_EQ(l.Kind(), 0); }

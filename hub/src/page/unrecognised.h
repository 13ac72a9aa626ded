#pragma once
// The today view's "未计入的通知": notifications from a payment app that looked like money coming in but
// that no rule counted, each with its reason and, until the merchant counts it, a form to count it as a
// payment of the channel and amount the merchant confirms.
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "store/store.h"

namespace hub::page {

std::string unrecognisedList(const clock::Zone& zone, const std::vector<store::Unrecognised>& list,
                             std::string_view csrf);

}  // namespace hub::page

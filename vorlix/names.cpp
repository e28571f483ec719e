#include "names.hpp"

namespace vorlix {

const vx::Text tool_path{"/opt/bin/vorlix"};
const vx::Text runner_name{"vorlix"};
const vx::Text subprocess_module{"subprocess"};
const vx::Text keys_method{"keys"};
const vx::Text splitlines_method{"splitlines"};

}  // namespace vorlix

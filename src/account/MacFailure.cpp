#include "account/MacFailure.h"

namespace quorlinth {

std::string MacFailure::localizedDescription() const {
    switch (type) {
    case Kind::message:
    case Kind::other:
        return text;
    case Kind::sessionExpired:
        return "登录已过期，请重新登录";
    case Kind::cancelled:
        return "操作已取消";
    }
    return text;
}

} // namespace quorlinth

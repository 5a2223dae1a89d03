#pragma once

#include "ApiTypes.h"
#include "ServiceContext.h"

namespace quorlinth::service {

// Sign-in endpoints under /v1/auth: password, SMS code with picture captcha, password
// setup, QR sign-in with approval from a signed-in phone, and sign-out.
namespace auth {

ApiResponse login(ServiceContext& context, const ApiRequest& request);
ApiResponse smsCode(ServiceContext& context, const ApiRequest& request);
ApiResponse smsLogin(ServiceContext& context, const ApiRequest& request);
ApiResponse passwordSetup(ServiceContext& context, const ApiRequest& request);
ApiResponse captcha(ServiceContext& context, const ApiRequest& request);
ApiResponse qrCreate(ServiceContext& context, const ApiRequest& request);
ApiResponse qrPoll(ServiceContext& context, const ApiRequest& request);
ApiResponse qrApprove(ServiceContext& context, const ApiRequest& request);
ApiResponse logout(ServiceContext& context, const ApiRequest& request);
// Signs the account out everywhere: every token goes and every device's socket closes.
ApiResponse logoutEverywhere(ServiceContext& context, const ApiRequest& request);

// Creates an account from the command line. Fails for a taken user name or phone.
Result<void> addUser(ServiceContext& context, const std::string& username, const std::string& password,
                     const std::string& phone);

} // namespace auth

} // namespace quorlinth::service

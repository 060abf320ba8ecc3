#include "engine/s3/S3HTTPFailureError.h"

namespace tvr {

namespace {
std::string failureMessage(const std::string& method, long statusCode, const std::optional<S3ProviderError>& provider) {
  std::string message = "S3 " + method + " failed with HTTP " + std::to_string(statusCode);
  if (provider) {
    if (provider->code) message += " (" + *provider->code + ")";
    if (provider->message) message += ": " + *provider->message;
  }
  return message + ".";
}
}  // namespace

S3HTTPFailureError::S3HTTPFailureError(std::string method, std::string objectKey, long statusCode,
                                       std::optional<S3ProviderError> provider)
    : Error(kDomain, statusCode, failureMessage(method, statusCode, provider)),
      method_(std::move(method)),
      objectKey_(std::move(objectKey)),
      provider_(std::move(provider)) {}

S3HTTPFailureError S3HTTPFailureError::fromResponse(const std::string& method, const std::string& objectKey,
                                                    long statusCode, const std::optional<Bytes>& body) {
  return S3HTTPFailureError(method, objectKey, statusCode, S3ProviderError::parse(body));
}

std::map<std::string, std::string> S3HTTPFailureError::details() const {
  std::map<std::string, std::string> details{
      {"NSLocalizedDescription", message()}, {"S3Method", method_}, {"S3ObjectKey", objectKey_}};
  if (provider_) {
    if (provider_->code) details["S3ErrorCode"] = *provider_->code;
    if (provider_->message) details["S3ErrorMessage"] = *provider_->message;
    if (provider_->requestID) details["S3RequestID"] = *provider_->requestID;
  }
  return details;
}

}  // namespace tvr

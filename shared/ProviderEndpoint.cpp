#include <mutex>

#include "shared/uSendSmsWS.h"

namespace {

std::mutex endpointMutex;
TProviderEndpoint endpoint{KAVAR_PROVIDER_URL, KAVAR_PROVIDER_NAMESPACE};

}  // namespace

TProviderEndpoint TSendSmsWS::Endpoint() {
    std::lock_guard lock(endpointMutex);
    return endpoint;
}

void TSendSmsWS::SetEndpoint(const std::string& EndpointURL, const std::string& Namespace) {
    std::lock_guard lock(endpointMutex);
    endpoint.EndpointURL = EndpointURL.empty() ? KAVAR_PROVIDER_URL : EndpointURL;
    endpoint.Namespace = Namespace.empty() ? KAVAR_PROVIDER_NAMESPACE : Namespace;
}

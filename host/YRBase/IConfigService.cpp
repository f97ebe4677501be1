#include "YRBase/IConfigService.h"

IConfigService::~IConfigService() = default;

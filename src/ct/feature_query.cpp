// Placeholder until the feature query is built.
#include "ct/feature_query.h"

void KeyHandler() {}

// The export that hands the library's lines to the game's own log as well.
#include "log/log_line.h"
#include "mirto/mirto.h"

namespace mirto {

void MIRTO_CALL SetLogCallback(MirtoLogCallback callback, void* context) noexcept {
    SetLineCallback(callback, context);
}

}  // namespace mirto

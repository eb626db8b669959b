# Keras 3: a callback logging a fit into an iteration.
import logging
from typing import Any, Optional

import keras  # type: ignore[import-not-found, import-untyped, unused-ignore]

logger: logging.Logger

class KerasCallback(keras.callbacks.Callback):  # type: ignore[misc, unused-ignore]
    iteration: Any
    log_every_n_batches: Optional[int]
    checkpoint: bool
    monitor: str
    mode: str
    best: Optional[float]
    def __init__(
        self,
        iteration: Any,
        *,
        log_every_n_batches: Optional[int] = None,
        checkpoint: bool = False,
        monitor: str = "val_loss",
        mode: str = "min",
    ) -> None: ...
    def on_train_begin(self, logs: Any = None) -> None: ...
    def on_train_batch_end(self, batch: Any, logs: Any = None) -> None: ...
    def on_epoch_end(self, epoch: Any, logs: Any = None) -> None: ...

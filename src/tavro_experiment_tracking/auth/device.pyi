# The device login (RFC 8628): a code entered on any device, for machines
# that cannot show the user a browser.
import logging
from typing import Any, Dict, List, Optional, Tuple

from tavro_experiment_tracking.constants import AUTH_REQUEST_TIMEOUT

# The OpenID Connect answer class is imported on first use.
def __dir__() -> List[str]: ...

logger: logging.Logger
# Seconds added to the polling interval by each slow_down answer.
SLOW_DOWN_STEP: float

def browser_usable() -> bool: ...
def device_login(
    client: Any, provider_info: Dict[str, Any], client_secret: Optional[str] = None
) -> Tuple[str, Any]: ...

# Sending journals later: what background logging kept because the tracking
# server did not take it, from the command line or from code.
from typing import Any, Callable, Dict, List, Optional

from tavro_experiment_tracking.config import journal_folder
from tavro_experiment_tracking.tracking.background import journal_pending, sync_journal

def sync(path: Optional[str] = None, *, progress: Optional[Callable[[int], object]] = None) -> Dict[str, Any]: ...
def main(argv: Optional[List[str]] = None, prog: Optional[str] = None) -> int: ...

import os
import sys

# The page and its helpers live in examples/ beside the terminal demo, which
# they import as `demo`.
EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "examples")
if EXAMPLES not in sys.path:
    sys.path.insert(0, EXAMPLES)

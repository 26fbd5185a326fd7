"""The event encoders under their test-tool name `encoders`.

They live in the package (src/vintrel/_sample/encoders), which writes sample
acquisitions with them; this package loads the same files from the source
tree, so that tests, benchmarks and the fuzz seed writer need no built
module: `from encoders import merrowv3`, `encoders.encoder_for(model)`."""

from pathlib import Path

__path__ = [str(Path(__file__).resolve().parents[2] / "src" / "vintrel" / "_sample" / "encoders")]

from .registry import MODULES, encoder_for  # noqa: E402

__all__ = ["MODULES", "encoder_for"]

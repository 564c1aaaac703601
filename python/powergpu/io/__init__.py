"""Reading and writing of recordings: COMTRADE (1991/1999/2013, cfg+dat and
cff), CSV and WAV, behind one lazily-read ``Recording`` interface."""
from .channel_info import ChannelInfo
from .channel_map import ROLES, map_channels, parse_channel_mapping
from .comtrade_writer import write_comtrade
from .errors import RecordingError
from .opener import open_recording
from .recording import Recording

__all__ = [
    "ChannelInfo",
    "ROLES",
    "Recording",
    "RecordingError",
    "map_channels",
    "open_recording",
    "parse_channel_mapping",
    "write_comtrade",
]

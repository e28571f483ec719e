import subprocess


class VorlixException(Exception):
    pass


def vorlix(*args: str) -> str:
    proc = subprocess.run(["/opt/bin/vorlix", *args], text=True, check=False, capture_output=True)
    if proc.returncode:
        raise VorlixException(f"{proc.stdout}\n{proc.stderr}")
    return proc.stdout

"""Pictures of matches.

The stadium scene, the renderer, videos and the browser viewer. A new
picture feature goes here.
"""

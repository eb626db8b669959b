"""auth"""

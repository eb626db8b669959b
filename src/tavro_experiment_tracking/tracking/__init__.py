"""tracking"""

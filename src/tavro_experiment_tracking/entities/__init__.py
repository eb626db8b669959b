"""entities"""

"""model"""
